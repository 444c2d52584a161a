// SPDX-License-Identifier: GPL-3.0-or-later
#include "dirlisteditor.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "fileops.h"
#include "inistore.h"
#include "jobcontrol.h"

namespace {
QPushButton* ArrowButton(QWidget* Owner, const char* Name, bool Up) {
    auto* button = new QPushButton;
    button->setObjectName(Name);
    button->setIcon(QIcon::fromTheme(
        Up ? "go-up" : "go-down",
        Owner->style()->standardIcon(Up ? QStyle::SP_ArrowUp : QStyle::SP_ArrowDown)));
    button->setToolTip(Up ? "Move the selected directory up" : "Move the selected directory down");
    return button;
}

std::string FreeSpaceText(int64_t Bytes) {
    if (Bytes < 0) return "n/a";
    return FormatThousands(std::llround(static_cast<double>(Bytes) / 1024.0)) + " KB";
}
}  // namespace

TDirListEditor::TDirListEditor(bool Target, const TNames& Names, const char* AddText,
                               const char* DelText, std::vector<std::string>& Dirs,
                               IMessages& Messages, IFileChooser& Chooser, TIniStore& Ini,
                               QWidget* Parent)
    : QWidget(Parent),
      target_(Target),
      dirs_(Dirs),
      messages_(Messages),
      chooser_(Chooser),
      ini_(Ini) {
    List = new QTreeWidget;
    List->setObjectName(Names.List);
    const QStringList columns =
        Target ? QStringList{"Target directory", "Free space"} : QStringList{"Source directory"};
    List->setColumnCount(static_cast<int>(columns.size()));
    List->setHeaderLabels(columns);
    List->setRootIsDecorated(false);
    List->setUniformRowHeights(true);
    List->setSelectionMode(QAbstractItemView::SingleSelection);
    List->setSelectionBehavior(QAbstractItemView::SelectRows);
    List->setEditTriggers(QAbstractItemView::NoEditTriggers);
    List->header()->setSectionsClickable(false);
    List->header()->setSectionsMovable(false);
    List->header()->setStretchLastSection(false);
    if (Target) List->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    List->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
    List->installEventFilter(this);

    ButtonAdd = new QPushButton(AddText);
    ButtonAdd->setObjectName(Names.Add);
    ButtonUp = ArrowButton(this, Names.Up, true);
    ButtonDown = ArrowButton(this, Names.Down, false);
    ButtonDel = new QPushButton(DelText);
    ButtonDel->setObjectName(Names.Del);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(ButtonAdd);
    auto* arrows = new QHBoxLayout;
    arrows->addWidget(ButtonUp);
    arrows->addWidget(ButtonDown);
    buttons->addLayout(arrows);
    buttons->addWidget(ButtonDel);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(List);
    layout->addLayout(buttons);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    connect(ButtonAdd, &QPushButton::clicked, this, &TDirListEditor::AddDirClick);
    connect(ButtonUp, &QPushButton::clicked, this, [this] { MoveDirClick(-1); });
    connect(ButtonDown, &QPushButton::clicked, this, [this] { MoveDirClick(1); });
    connect(ButtonDel, &QPushButton::clicked, this, &TDirListEditor::DelDirClick);
}

int TDirListEditor::SelectedRow() const {
    return List->currentItem() && List->currentItem()->isSelected()
               ? List->indexOfTopLevelItem(List->currentItem())
               : -1;
}

void TDirListEditor::ShowDirs(int Select) {
    List->clear();
    for (const std::string& dir : dirs_) new QTreeWidgetItem(List, {QString::fromStdString(dir)});
    ShowFreeSpace();
    if (Select >= 0 && Select < List->topLevelItemCount())
        List->setCurrentItem(List->topLevelItem(Select));
}

void TDirListEditor::Redraw() {
    const int selected = SelectedRow();
    List->setUpdatesEnabled(false);
    ShowDirs(selected);
    List->setUpdatesEnabled(true);
}

void TDirListEditor::ShowFreeSpace() {
    if (!target_ || !FreeSpace) return;
    const std::vector<int64_t>& free = FreeSpace();
    for (int i = 0; i < List->topLevelItemCount(); ++i) {
        const auto at = static_cast<std::size_t>(i);
        QTreeWidgetItem* item = List->topLevelItem(i);
        item->setText(1, QString::fromStdString(FreeSpaceText(at < free.size() ? free[at] : -1)));
        item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    }
}

void TDirListEditor::SetListEnabled(bool Enabled) {
    List->setEnabled(Enabled);
    QPalette palette = List->palette();
    palette.setColor(QPalette::Base,
                     QApplication::palette().color(Enabled ? QPalette::Base : QPalette::Button));
    List->setPalette(palette);
    for (QPushButton* b : {ButtonAdd, ButtonUp, ButtonDown, ButtonDel}) b->setEnabled(Enabled);
    if (!Enabled) List->clearSelection();
}

void TDirListEditor::FitColumns() {
    const int width = List->viewport()->width();
    if (!target_) {
        List->setColumnWidth(0, width - 4);
        return;
    }
    const int free = std::max(width - width * 3 / 4 - 4,
                              fontMetrics().horizontalAdvance("0,000,000,000 KB") + 12);
    List->setColumnWidth(0, width - free - 4);
    List->setColumnWidth(1, free);
}

void TDirListEditor::AddDirectory(const std::string& Path) {
    const bool startingUp = StartingUp && StartingUp();
    if (startingUp && StripUncPath(Path).empty()) return;
    std::string path = Path;
    if (!fileops::IsDirectory(path)) path = fileops::DirectoryPart(path);
    if (path.rfind("//", 0) != 0 && !path.empty()) path = fileops::Normalise(path);
    path = fileops::AddSlash(path);
    if (!path.empty() && fileops::IsDirectory(path)) {
        if (std::find(dirs_.begin(), dirs_.end(), path) != dirs_.end()) return;
        dirs_.push_back(path);
        if (Added)
            Added();
        else
            ShowDirs(-1);
    } else if (!startingUp) {
        messages_.ShowError("The specified directory is invalid !");
    }
}

void TDirListEditor::AddUrls(const QList<QUrl>& Urls) {
    for (const QUrl& url : Urls) {
        if (!url.isLocalFile()) continue;
        const std::string path = url.toLocalFile().toStdString();
        if (path.size() <= 4095) AddDirectory(path);
    }
}

bool TDirListEditor::ListTakesDropAt(const QWidget* Window, QPoint At) const {
    return List->isEnabled() && List->rect().contains(List->mapFrom(Window, At));
}

void TDirListEditor::AddDirClick() {
    const TOpenDialogSetup dialog = DialogSetup ? DialogSetup() : TOpenDialogSetup{};
    const char* key = target_ ? "Target" : "Source";
    std::string initial = ini_.ReadString("LastOpen", key, "");
    if (target_ || firstAdd_) initial = StripUncPath(initial);
    const auto chosen = chooser_.ChooseDirectory(window(), dialog.Title, initial);
    if (!chosen) return;
    const std::string path = fileops::AddSlash(fileops::Normalise(*chosen));
    firstAdd_ = false;
    try {
        ini_.WriteString("LastOpen", key, path);
    } catch (const std::exception& error) {
        messages_.ShowError(error.what());
    }
    AddDirectory(path);
}

void TDirListEditor::MoveDirClick(int Step) {
    const int index = SelectedRow();
    if (index < 0) return;
    const int to = std::clamp(index + Step, 0, static_cast<int>(dirs_.size()) - 1);
    if (to != index)
        std::swap(dirs_[static_cast<std::size_t>(index)], dirs_[static_cast<std::size_t>(to)]);
    if (Reordered) Reordered();
    ShowDirs(to);
}

void TDirListEditor::DelDirClick() {
    const int index = SelectedRow();
    if (index < 0) return;
    dirs_.erase(dirs_.begin() + index);
    if (Reordered) Reordered();
    ShowDirs(std::min(index, static_cast<int>(dirs_.size()) - 1));
}

bool TDirListEditor::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == List && Event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(Event)->key() == Qt::Key_Delete) {
        DelDirClick();
        return true;
    }
    return QWidget::eventFilter(Watched, Event);
}
