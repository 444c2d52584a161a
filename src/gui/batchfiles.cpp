// SPDX-License-Identifier: GPL-3.0-or-later
#include "batchfiles.h"

#include <QAction>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QSaveFile>
#include <QUrl>
#include <algorithm>

#include "batchrecord.h"
#include "jobcontrol.h"

TBatchFiles::TBatchFiles(QWidget* Parent) : QTreeWidget(Parent) {
    setObjectName("ListViewFiles");
    setColumnCount(ColumnCount);
    setHeaderLabels({"Outcome", "Source", "Target", "Size in", "Size out", "Time", "Message"});
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAlternatingRowColors(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    header()->setStretchLastSection(true);
    // Room for a file name in the paths; the sizes and the time take what they need.
    const int em = fontMetrics().averageCharWidth();
    for (const auto& [column, chars] : {std::pair{Outcome, 12},
                                        {Source, 34},
                                        {Target, 34},
                                        {BytesIn, 13},
                                        {BytesOut, 13},
                                        {Seconds, 9}})
        setColumnWidth(column, em * chars);
    connect(header(), &QHeaderView::sectionResized, this, [this](int Column, int, int) {
        if (!fitting_ && (Column == Source || Column == Target)) userSized_ = true;
    });
    setTextElideMode(Qt::ElideMiddle);
    setToolTip("The files of this batch; double-click opens the folder of the target");
    OpenFolder = [](const QString& Dir) { QDesktopServices::openUrl(QUrl::fromLocalFile(Dir)); };
    connect(this, &QTreeWidget::itemActivated, this,
            [this](QTreeWidgetItem* Item, int) { OnActivated(Item); });
    auto* copy = new QAction("&Copy", this);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, this,
            [this] { QGuiApplication::clipboard()->setText(AsText()); });
    addAction(copy);
    auto* save = new QAction("Save &as...", this);
    connect(save, &QAction::triggered, this, &TBatchFiles::SaveAsClick);
    addAction(save);
    AskSaveName = [this] {
        return QFileDialog::getSaveFileName(window(), "Save as",
                                            QDir::homePath() + "/sonbar-files.txt",
                                            "Text files (*.txt);;All files (*)");
    };
    ShowError = [this](const QString& Text, const QString& File) {
        QMessageBox box(QMessageBox::Critical, QGuiApplication::applicationDisplayName(), Text,
                        QMessageBox::Ok, window());
        box.setInformativeText(File);
        box.exec();
    };
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

void TBatchFiles::resizeEvent(QResizeEvent* Event) {
    QTreeWidget::resizeEvent(Event);
    FitColumns();
}

void TBatchFiles::FitColumns() {
    if (userSized_) return;
    const int em = fontMetrics().averageCharWidth();
    int fixed = 0;
    for (int column : {Outcome, BytesIn, BytesOut, Seconds}) fixed += columnWidth(column);
    // A message such as "Error opening source file !" whole; the paths elide in the middle.
    const int paths = std::clamp((viewport()->width() - fixed - 30 * em) / 2, 12 * em, 34 * em);
    fitting_ = true;
    setColumnWidth(Source, paths);
    setColumnWidth(Target, paths);
    fitting_ = false;
}

void TBatchFiles::Add(const TFileOutcome& O) {
    auto* item = new QTreeWidgetItem(this);
    const auto bytes = [](int64_t n) { return QString::fromStdString(FormatThousands(n)); };
    item->setText(Outcome, OutcomeName(O.Kind));
    item->setText(Source, QString::fromStdString(O.Source));
    item->setText(Target, QString::fromStdString(O.Target));
    item->setText(BytesIn, O.BytesIn > 0 ? bytes(O.BytesIn) : QString());
    item->setText(BytesOut, O.BytesOut > 0 ? bytes(O.BytesOut) : QString());
    item->setText(Seconds, O.Seconds > 0 ? QString::number(O.Seconds, 'f', 2) + " s" : QString());
    QString message = QString::fromStdString(O.Message);
    if (!O.Reason.empty()) message += ": " + QString::fromStdString(O.Reason);
    item->setText(Message, message);
    for (int c : {Source, Target, Message}) item->setToolTip(c, item->text(c));
    for (int c : {BytesIn, BytesOut, Seconds}) item->setTextAlignment(c, Qt::AlignRight);
    scrollToItem(item);
}

QString TBatchFiles::AsText() const {
    QStringList lines;
    QStringList cells;
    for (int c = 0; c < ColumnCount; ++c) cells << headerItem()->text(c);
    lines << cells.join('\t');
    for (int i = 0; i < topLevelItemCount(); ++i) {
        cells.clear();
        for (int c = 0; c < ColumnCount; ++c) cells << topLevelItem(i)->text(c);
        lines << cells.join('\t');
    }
    return lines.join('\n') + '\n';
}

void TBatchFiles::OnActivated(QTreeWidgetItem* Item) {
    const QString target = Item->text(Target);
    if (!target.isEmpty()) OpenFolder(QFileInfo(target).absolutePath());
}

bool TBatchFiles::SaveAs(const QString& File) const {
    QSaveFile file(File);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return false;
    file.write(AsText().toUtf8());
    return file.commit();
}

void TBatchFiles::SaveAsClick() {
    const QString file = AskSaveName();
    if (file.isEmpty()) return;
    if (!SaveAs(file)) ShowError("The list could not be saved !", file);
}
