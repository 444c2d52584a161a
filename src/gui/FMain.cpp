// SPDX-License-Identifier: GPL-3.0-or-later
#include "FMain.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <limits>

#include "FPreferences.h"
#include "FStatusInfo.h"
#include "batchfiles.h"
#include "fileops.h"
#include "jobtexts.h"
#include "sonbar_version.h"

namespace {
// Sizes are laid out for a 13-pixel line; larger fonts and scaling grow them in proportion.
double FontFactor(const QWidget* W) {
    return std::max(1.0, W->fontMetrics().height() / 13.0);
}

QLabel* Caption(const char* Text) {
    return new QLabel(Text);
}

QLabel* Value(const char* Name, const char* Text = "") {
    auto* label = new QLabel(Text);
    label->setObjectName(Name);
    return label;
}

QLabel* LinkValue(const char* Name, bool Bold) {
    QLabel* label = Value(Name);
    // The palette's link colour: readable in light and dark themes alike.
    label->setForegroundRole(QPalette::Link);
    if (Bold) {
        QFont font = label->font();
        font.setBold(true);
        label->setFont(font);
    }
    // Long texts are cut at the group's edge instead of widening the window.
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    return label;
}

QTreeWidget* DirList(const char* Name, const QStringList& Columns) {
    auto* list = new QTreeWidget;
    list->setObjectName(Name);
    list->setColumnCount(static_cast<int>(Columns.size()));
    list->setHeaderLabels(Columns);
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->header()->setSectionsClickable(false);
    list->header()->setSectionsMovable(false);
    list->header()->setStretchLastSection(false);
    if (Columns.size() > 1)
        list->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    return list;
}

QPushButton* ArrowButton(QWidget* Owner, const char* Name, bool Up) {
    auto* button = new QPushButton;
    button->setObjectName(Name);
    button->setIcon(QIcon::fromTheme(
        Up ? "go-up" : "go-down",
        Owner->style()->standardIcon(Up ? QStyle::SP_ArrowUp : QStyle::SP_ArrowDown)));
    return button;
}

std::string FreeSpaceText(int64_t Bytes) {
    if (Bytes < 0) return "n/a";
    return FormatThousands(std::llround(static_cast<double>(Bytes) / 1024.0)) + " KB";
}
}  // namespace

// The job control's messages: while a failed file is passed over under "Continue after a
// failed file", its boxes are left out (the list of files shows the failure).
class TFormMain::TKeepGoingMessages : public IMessages {
  public:
    explicit TKeepGoingMessages(IMessages& Target) : target_(Target) {}
    bool Quiet = false;
    void ShowError(const std::string& Text) override {
        if (!Quiet) target_.ShowError(Text);
    }
    void ShowJobError(const std::string& Source, const std::string& Text) override {
        if (!Quiet) target_.ShowJobError(Source, Text);
    }
    void ShowInformation(const std::string& Text) override { target_.ShowInformation(Text); }
    TAnswer Ask(const std::string& Text, bool WithCancel) override {
        return target_.Ask(Text, WithCancel);
    }
    void ShowInfo(const std::string& Text) override { target_.ShowInfo(Text); }
    void CloseInfo() override { target_.CloseInfo(); }

  private:
    IMessages& target_;
};

TFormMain::TFormMain(TFormMainSetup Setup)
    : folder_(Setup.SettingsFolder.empty() ? SettingsFolder("", ProgramDirectory())
                                           : fileops::AddSlash(Setup.SettingsFolder)),
      realWaitTimer_(Setup.RealWaitTimer) {
    setObjectName("FormMain");
    ini_ = std::make_unique<TIniStore>(folder_ + TSettings::IniName);
    if (!Setup.Messages) ownMessages_ = std::make_unique<TQtMessages>(this);
    if (!Setup.Chooser) ownChooser_ = std::make_unique<TQtFileChooser>();
    if (!Setup.Clock) ownClock_ = std::make_unique<TSystemClock>();
    if (!Setup.Sound) ownSound_ = std::make_unique<TQtSound>();
    messages_ = Setup.Messages ? Setup.Messages : ownMessages_.get();
    chooser_ = Setup.Chooser ? Setup.Chooser : ownChooser_.get();
    clock_ = Setup.Clock ? Setup.Clock : ownClock_.get();
    sound_ = Setup.Sound ? Setup.Sound : ownSound_.get();

    jobMessages_ = std::make_unique<TKeepGoingMessages>(*messages_);
    job_ = std::make_unique<TJobControl>(settings_, *jobMessages_, static_cast<IProgress&>(*this),
                                         *clock_, *sound_);
    job_->StartingUp = true;
    job_->GoWhenIdle = false;
    job_->OnThreadCreated = [this](TRecodingThread& thread) { OnThreadCreated(thread); };

    setWindowTitle("Sonbar V" SONBAR_VERSION);
    setWindowIcon(ProgramIcon());
    BuildMenu();
    auto* central = new QWidget(this);
    auto* grid = new QGridLayout(central);
    grid->addWidget(BuildDirLists(), 0, 0, 2, 1);
    grid->addWidget(BuildSettings(), 0, 1);
    grid->addWidget(BuildPriority(), 1, 1);
    grid->addWidget(BuildJob(), 2, 0, 1, 2);
    ListViewFiles = new TBatchFiles;
    ListViewFiles->setMinimumHeight(ListViewFiles->fontMetrics().height() * 5);
    grid->addWidget(ListViewFiles, 3, 0, 1, 2);
    grid->setColumnStretch(0, 1);
    grid->setRowStretch(0, 1);
    grid->setRowStretch(3, 1);
    setCentralWidget(central);

    preferences_ = new TFormPreferences(this, *ini_, folder_ + TSettings::FormatFileName,
                                        *messages_, *chooser_, *sound_);
    about_ = new TFormAbout(this);
    status_ = new TFormStatusInfo(this);
    if (ownMessages_) ownMessages_->SetStatusWindow(status_);

    TimerWaitForFile = new QTimer(this);
    TimerWaitForFile->setInterval(1000);
    connect(TimerWaitForFile, &QTimer::timeout, this, &TFormMain::TimerWaitForFileTimer);
    TimerProgress = new QTimer(this);
    TimerProgress->setInterval(Setup.ProgressIntervalMs);
    connect(TimerProgress, &QTimer::timeout, this, [this] { job_->UpdateProgress(); });

    // The idle hook: when the queue has run empty, a finished file's Go runs next.
    idleHook_ =
        connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
                [this] {
                    if (job_->GoWhenIdle && !idleQueued_) {
                        idleQueued_ = true;
                        QMetaObject::invokeMethod(this, &TFormMain::AppIdle, Qt::QueuedConnection);
                    }
                });
    focusHook_ =
        connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget* now) {
            // Leaving the directory group drops both lists' selections.
            if (old && GroupBoxDirLists->isAncestorOf(old) &&
                !(now && GroupBoxDirLists->isAncestorOf(now))) {
                ListViewSourceDirs->clearSelection();
                ListViewTargetDirs->clearSelection();
            }
        });

    OpenDocument = [](const std::string& path) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
    };
    // Qt's own geometry, saved and restored alike (Left and Top name the frame's corner, which
    // a window manager would take for the client's and move the window at every start).
    const QByteArray geometry = QByteArray::fromBase64(
        QByteArray::fromStdString(ini_->ReadString("Window", "Geometry", "")));
    if (geometry.isEmpty() || !restoreGeometry(geometry)) {
        if (ini_->HasKey("Window", "Left") || ini_->HasKey("Window", "Top"))
            move(ini_->ReadInteger("Window", "Left", x()), ini_->ReadInteger("Window", "Top", y()));
    }
    setAcceptDrops(true);
    // Resizable: the directory lists and the list of files take what is added.
    layout()->setSizeConstraint(QLayout::SetMinimumSize);
}

TFormMain::~TFormMain() {
    // The application outlives the window: no more of its signals once this part is gone.
    disconnect(idleHook_);
    disconnect(focusHook_);
    // The job ends before the windows it reports to.
    job_.reset();
}

void TFormMain::BuildMenu() {
    QMenu* file = menuBar()->addMenu("&File");
    MenuItemExit = file->addAction("E&xit");
    MenuItemPreferences = menuBar()->addAction("&Preferences");
    QMenu* help = menuBar()->addMenu("&Help");
    MenuItemReadme = help->addAction("&View Readme.txt");
    MenuItemAbout = help->addAction("&About");
    connect(MenuItemExit, &QAction::triggered, this, &QWidget::close);
    connect(MenuItemPreferences, &QAction::triggered, this, &TFormMain::MenuItemPreferencesClick);
    connect(MenuItemReadme, &QAction::triggered, this, &TFormMain::MenuItemHelpClick);
    connect(MenuItemAbout, &QAction::triggered, this, &TFormMain::MenuItemAboutClick);
}

QWidget* TFormMain::BuildDirLists() {
    GroupBoxDirLists = new QGroupBox("Directories");
    GroupBoxDirLists->setObjectName("GroupBoxDirLists");
    GroupBoxDirLists->setMinimumWidth(static_cast<int>(465 * FontFactor(this)));
    ListViewSourceDirs = DirList("ListViewSourceDirs", {"Source directory"});
    ListViewTargetDirs = DirList("ListViewTargetDirs", {"Target directory", "Free space"});
    auto* grid = new QGridLayout(GroupBoxDirLists);
    // Each side has mnemonics of its own: Alt+A and Alt+M for the sources, Alt+D and Alt+V
    // for the targets.
    auto addSide = [&](QTreeWidget* list, int row, QPushButton*& add, QPushButton*& up,
                       QPushButton*& down, QPushButton*& del, const char* names[4]) {
        const bool source = row == 0;
        add = new QPushButton(source ? "&Add" : "A&dd");
        add->setObjectName(names[0]);
        up = ArrowButton(this, names[1], true);
        down = ArrowButton(this, names[2], false);
        del = new QPushButton(source ? "Re&move" : "Remo&ve");
        up->setToolTip("Move the selected directory up");
        down->setToolTip("Move the selected directory down");
        del->setObjectName(names[3]);
        auto* buttons = new QVBoxLayout;
        buttons->addWidget(add);
        auto* arrows = new QHBoxLayout;
        arrows->addWidget(up);
        arrows->addWidget(down);
        buttons->addLayout(arrows);
        buttons->addWidget(del);
        buttons->addStretch();
        grid->addWidget(list, row, 0);
        grid->addLayout(buttons, row, 1);
        list->installEventFilter(this);
        connect(add, &QPushButton::clicked, this, [this, list] { AddDirClick(list); });
        connect(up, &QPushButton::clicked, this, [this, list] { MoveDirClick(list, -1); });
        connect(down, &QPushButton::clicked, this, [this, list] { MoveDirClick(list, 1); });
        connect(del, &QPushButton::clicked, this, [this, list] { DelDirClick(list); });
    };
    const char* sourceNames[4] = {"ButtonAddSourceDir", "ButtonUpSourceDir", "ButtonDownSourceDir",
                                  "ButtonDelSourceDir"};
    const char* targetNames[4] = {"ButtonAddTargetDir", "ButtonUpTargetDir", "ButtonDownTargetDir",
                                  "ButtonDelTargetDir"};
    addSide(ListViewSourceDirs, 0, ButtonAddSourceDir, ButtonUpSourceDir, ButtonDownSourceDir,
            ButtonDelSourceDir, sourceNames);
    addSide(ListViewTargetDirs, 1, ButtonAddTargetDir, ButtonUpTargetDir, ButtonDownTargetDir,
            ButtonDelTargetDir, targetNames);
    const int rows = static_cast<int>(60 * FontFactor(this));
    for (QTreeWidget* list : {ListViewSourceDirs, ListViewTargetDirs}) {
        list->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
        list->setMinimumHeight(rows);
    }
    return GroupBoxDirLists;
}

QWidget* TFormMain::BuildSettings() {
    GroupBoxSettings = new QGroupBox("Settings");
    GroupBoxSettings->setObjectName("GroupBoxSettings");
    GroupBoxSettings->setMinimumWidth(static_cast<int>(265 * FontFactor(this)));
    LabelSourceExt = LinkValue("LabelSourceExt", false);
    LabelTargetExt = LinkValue("LabelTargetExt", false);
    LabelFTag = LinkValue("LabelFTag", true);
    LabelFAttributes = LinkValue("LabelFAttributes", true);
    LabelFormatQuality = LinkValue("LabelFormatQuality", false);
    LabelMode = LinkValue("LabelMode", false);
    LabelAfter = LinkValue("LabelAfter", false);
    LabelAlready = LinkValue("LabelAlready", false);
    // Short texts of their own: the group makes room for the longest.
    for (QLabel* label : {LabelMode, LabelAfter, LabelAlready})
        label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    LabelAlready->setMinimumWidth(
        LabelAlready->fontMetrics().horizontalAdvance("Skip source file (!)"));
    auto* convert = new QHBoxLayout;
    // One line of text: "Convert all *.wav;*.aif to *.mp3", not two spread columns.
    convert->setSpacing(0);
    // Each as wide as its text; a long list of extensions is cut at the group's width.
    for (QLabel* label : {LabelSourceExt, LabelTargetExt})
        label->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
    LabelSourceExt->setMaximumWidth(LabelSourceExt->fontMetrics().horizontalAdvance("W") * 14);
    LabelTargetExt->setMaximumWidth(LabelTargetExt->fontMetrics().horizontalAdvance("W") * 6);
    convert->addWidget(Caption("Convert all "));
    convert->addWidget(LabelSourceExt);
    convert->addWidget(Caption(" to "));
    convert->addWidget(LabelTargetExt);
    convert->addStretch(1);
    auto* grid = new QGridLayout(GroupBoxSettings);
    grid->setVerticalSpacing(5);
    grid->addLayout(convert, 0, 0, 1, 2);
    grid->addWidget(LabelFTag, 1, 0, 1, 2);
    grid->addWidget(LabelFAttributes, 2, 0, 1, 2);
    grid->addWidget(LabelFormatQuality, 3, 0, 1, 2);
    grid->addWidget(Caption("Directory mode:"), 4, 0);
    grid->addWidget(LabelMode, 4, 1);
    grid->addWidget(Caption("Complete source files are:"), 5, 0);
    grid->addWidget(LabelAfter, 5, 1);
    grid->addWidget(Caption("If target file exists:"), 6, 0);
    grid->addWidget(LabelAlready, 6, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(7, 1);
    return GroupBoxSettings;
}

QWidget* TFormMain::BuildPriority() {
    auto* box = new QGroupBox("Recoding priority");
    box->setObjectName("GroupBox3");
    TrackBarPriority = new QSlider(Qt::Horizontal);
    TrackBarPriority->setObjectName("TrackBarPriority");
    TrackBarPriority->setToolTip("Recoding priority, from Low (left) to High (right)");
    TrackBarPriority->setRange(0, 6);
    TrackBarPriority->setPageStep(1);
    TrackBarPriority->setTickPosition(QSlider::TicksBothSides);
    TrackBarPriority->setTickInterval(1);
    auto* row = new QHBoxLayout(box);
    row->addWidget(Caption("Low"));
    row->addWidget(TrackBarPriority, 1);
    row->addWidget(Caption("High"));
    connect(TrackBarPriority, &QSlider::valueChanged, this,
            [this](int position) { job_->TrackBarPriorityChange(position); });
    return box;
}

QWidget* TFormMain::BuildJob() {
    GroupBoxJob = new QGroupBox("Stopped");
    GroupBoxJob->setObjectName("GroupBoxJob");
    QFont bold = GroupBoxJob->font();
    bold.setBold(true);
    GroupBoxJob->setFont(bold);
    QFont normal = font();
    normal.setBold(false);  // set explicitly, so that it is not inherited from the group

    auto timeValue = [](const char* name) {
        QLabel* label = Value(name, "00:00:00");
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        return label;
    };
    LabelTime = timeValue("LabelTime");
    LabelRemainingTime = timeValue("LabelRemainingTime");
    LabelTotalTime = timeValue("LabelTotalTime");
    LabelPercent = Value("LabelPercent", "0%");
    LabelSourceFile = Value("LabelSourceFile");
    LabelTargetFile = Value("LabelTargetFile");
    for (QLabel* label : {LabelSourceFile, LabelTargetFile})
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    LabelBytesPerSec = Value("LabelBytesPerSec", "0");
    LabelFilesProcessed = Value("LabelFilesProcessed", "0");
    ProgressBar = new QProgressBar;
    ProgressBar->setObjectName("ProgressBar");
    ProgressBar->setTextVisible(false);
    ProgressBar->setRange(0, 1);
    ProgressBar->setValue(0);

    ButtonGo = new QPushButton("&Go!");
    ButtonGo->setObjectName("ButtonGo");
    QFont large = normal;
    large.setBold(true);
    large.setPointSizeF(normal.pointSizeF() * 1.4);
    ButtonGo->setFont(large);
    ButtonCancel = new QPushButton("&Cancel");
    ButtonCancel->setObjectName("ButtonCancel");
    ButtonSuspend = new QPushButton("&Suspend");
    ButtonSuspend->setObjectName("ButtonSuspend");
    ButtonResume = new QPushButton("&Resume");
    ButtonResume->setObjectName("ButtonResume");
    CheckBoxStopAfter = new QCheckBox("S&top after finishing this file");
    CheckBoxStopAfter->setObjectName("CheckBoxStopAfter");
    CheckBoxAction = new QCheckBox("Delete source file");
    CheckBoxAction->setObjectName("CheckBoxAction");
    CheckBoxAction->setChecked(true);
    CheckBoxAction->setEnabled(false);

    auto* times = new QGridLayout;
    int column = 0;
    for (auto [caption, value] :
         {std::pair{"Time:", LabelTime}, std::pair{"Remaining:", LabelRemainingTime},
          std::pair{"Total:", LabelTotalTime}}) {
        times->addWidget(Caption(caption), 0, column++);
        times->addWidget(value, 0, column++);
    }
    times->setColumnStretch(column, 1);
    auto* files = new QGridLayout;
    files->addWidget(Caption("Source file:"), 0, 0);
    files->addWidget(LabelSourceFile, 0, 1, 1, 3);
    files->addWidget(Caption("Target file:"), 1, 0);
    files->addWidget(LabelTargetFile, 1, 1, 1, 3);
    files->addWidget(Caption("Bytes/sec:"), 2, 0);
    files->addWidget(LabelBytesPerSec, 2, 1);
    files->addWidget(Caption("Files processed successfully:"), 2, 2, Qt::AlignRight);
    files->addWidget(LabelFilesProcessed, 2, 3);
    files->setColumnStretch(1, 1);
    files->setColumnStretch(3, 1);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {ButtonGo, ButtonCancel, ButtonSuspend, ButtonResume}) {
        b->setMinimumWidth(static_cast<int>(75 * FontFactor(this)));
        buttons->addWidget(b);
    }
    buttons->addSpacing(12);
    auto* checks = new QVBoxLayout;
    checks->addWidget(CheckBoxStopAfter);
    checks->addWidget(CheckBoxAction);
    buttons->addLayout(checks);
    buttons->addStretch();

    auto* inner = new QWidget;  // the group's contents in the normal font
    inner->setFont(normal);
    auto* innerLayout = new QVBoxLayout(inner);
    innerLayout->setContentsMargins(0, 0, 0, 0);
    innerLayout->addLayout(times);
    innerLayout->addLayout(files);
    innerLayout->addWidget(ProgressBar);
    innerLayout->addLayout(buttons);
    auto* layout = new QVBoxLayout(GroupBoxJob);
    layout->addWidget(inner);
    LabelPercent->setParent(GroupBoxJob);
    LabelPercent->setFont(normal);
    LabelPercent->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    PlaceOnFrame(GroupBoxJob, LabelPercent, true);

    connect(ButtonGo, &QPushButton::clicked, this, &TFormMain::ButtonGoClick);
    connect(ButtonCancel, &QPushButton::clicked, this, [this] { job_->ButtonCancelClick(); });
    connect(ButtonSuspend, &QPushButton::clicked, this, [this] { job_->ButtonSuspendClick(); });
    connect(ButtonResume, &QPushButton::clicked, this, [this] { job_->ButtonResumeClick(); });
    connect(CheckBoxStopAfter, &QCheckBox::toggled, this, [this](bool on) {
        job_->CheckBoxStopAfter = on;
        CheckBoxAction->setEnabled(on);
    });
    connect(CheckBoxAction, &QCheckBox::toggled, this,
            [this](bool on) { job_->CheckBoxAction = on; });
    return GroupBoxJob;
}

void TFormMain::showEvent(QShowEvent* Event) {
    QMainWindow::showEvent(Event);
    if (!started_) FormShow();
}

void TFormMain::FormShow() {
    try {
        settings_.LoadSettings(*ini_, folder_ + TSettings::FormatFileName);
    } catch (const std::exception& error) {
        messages_->ShowError(error.what());
    }
    LoadMainSettings();
    const int source = ListViewSourceDirs->viewport()->width();
    ListViewSourceDirs->setColumnWidth(0, source - 4);
    const int target = ListViewTargetDirs->viewport()->width();
    // A quarter of the list for the free space, or what a few terabytes need if more.
    const int free = std::max(target - target * 3 / 4 - 4,
                              fontMetrics().horizontalAdvance("0,000,000,000 KB") + 12);
    ListViewTargetDirs->setColumnWidth(0, target - free - 4);
    ListViewTargetDirs->setColumnWidth(1, free);
    job_->SetJobState(jsStopped);
    ShowSettingsSummary();
    ShowCheckBoxAction();
    ButtonGo->setFocus();
    job_->StartingUp = false;
    started_ = true;
}

void TFormMain::LoadMainSettings() {
    settings_.LoadMainSettings(*ini_, true);
    TrackBarPriority->setValue(settings_.Priority);
    ShowDirs(ListViewSourceDirs, -1);
    RefreshTargetDirs();
}

void TFormMain::SaveMainSettings() {
    ini_->WriteInteger("Options", "Priority", settings_.Priority);
    ini_->WriteInteger("Window", "Left", x());
    ini_->WriteInteger("Window", "Top", y());
    ini_->WriteString("Window", "Geometry", saveGeometry().toBase64().toStdString());
    settings_.SaveMainSettings(*ini_);
}

void TFormMain::closeEvent(QCloseEvent* Event) {
    if (!job_->FormCloseQuery()) {
        Event->ignore();
        return;
    }
    if (started_) {
        try {
            if (job_->JobState() != jsStopped) job_->SetJobState(jsStopped);
            SaveMainSettings();
        } catch (const std::exception& error) {
            messages_->ShowError(error.what());
        }
    }
    Event->accept();
}

// --- directory lists --------------------------------------------------------------------

std::vector<std::string>& TFormMain::DirsOf(QTreeWidget* List) {
    return List == ListViewTargetDirs ? settings_.TargetDirs : settings_.SourceDirs;
}

void TFormMain::ShowDirs(QTreeWidget* List, int Select) {
    const auto& dirs = DirsOf(List);
    const auto& free = job_->TargetFreeSpace();
    List->clear();
    for (std::size_t i = 0; i < dirs.size(); ++i) {
        auto* item = new QTreeWidgetItem(List, {QString::fromStdString(dirs[i])});
        if (List == ListViewTargetDirs) {
            item->setText(1, QString::fromStdString(FreeSpaceText(i < free.size() ? free[i] : -1)));
            item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        }
    }
    if (Select >= 0 && Select < List->topLevelItemCount())
        List->setCurrentItem(List->topLevelItem(Select));
}

void TFormMain::AddDirectory(QTreeWidget* List, const std::string& Path) {
    const bool startingUp = job_->StartingUp;
    if (startingUp && StripUncPath(Path).empty()) return;
    std::string path = Path;
    if (!fileops::IsDirectory(path)) path = fileops::DirectoryPart(path);
    if (path.rfind("//", 0) != 0 && !path.empty()) path = fileops::Normalise(path);
    path = fileops::AddSlash(path);
    if (!path.empty() && fileops::IsDirectory(path)) {
        auto& dirs = DirsOf(List);
        if (std::find(dirs.begin(), dirs.end(), path) != dirs.end()) return;
        dirs.push_back(path);
        if (List == ListViewTargetDirs)
            RefreshTargetDirs();
        else
            ShowDirs(List, -1);
    } else if (!startingUp) {
        messages_->ShowError("The specified directory is invalid !");
    }
}

void TFormMain::AddDirClick(QTreeWidget* List) {
    const bool source = List == ListViewSourceDirs;
    settings_.CheckSourceExtensions();
    settings_.CheckTargetExtension();
    const std::string sourceLabel = SourceExtensionsSummary(settings_);
    const TOpenDialogSetup dialog =
        PrepareOpenDialog(source ? TOpenKind::SourceDir : TOpenKind::TargetDir,
                          sourceLabel == "(?)" ? "" : sourceLabel, settings_.TargetExtension());
    std::string initial = ini_->ReadString("LastOpen", source ? "Source" : "Target", "");
    if (!source || firstSourceAdd_) initial = StripUncPath(initial);
    const auto chosen =
        chooser_->Choose(this, dialog.Title, dialog.Filter, dialog.PresetName, initial);
    if (!chosen) return;
    const std::string path = fileops::Normalise(*chosen);
    if (source) firstSourceAdd_ = false;
    try {
        ini_->WriteString("LastOpen", source ? "Source" : "Target", fileops::DirectoryPart(path));
    } catch (const std::exception& error) {
        messages_->ShowError(error.what());
    }
    AddDirectory(List, path);
}

void TFormMain::MoveDirClick(QTreeWidget* List, int Step) {
    auto& dirs = DirsOf(List);
    const int index = List->currentItem() && List->currentItem()->isSelected()
                          ? List->indexOfTopLevelItem(List->currentItem())
                          : -1;
    if (index < 0) return;
    const int to = std::clamp(index + Step, 0, static_cast<int>(dirs.size()) - 1);
    if (to != index)
        std::swap(dirs[static_cast<std::size_t>(index)], dirs[static_cast<std::size_t>(to)]);
    if (List == ListViewTargetDirs) job_->RefreshTargetDirs();
    ShowDirs(List, to);
}

void TFormMain::DelDirClick(QTreeWidget* List) {
    auto& dirs = DirsOf(List);
    const int index = List->currentItem() && List->currentItem()->isSelected()
                          ? List->indexOfTopLevelItem(List->currentItem())
                          : -1;
    if (index < 0) return;
    dirs.erase(dirs.begin() + index);
    if (List == ListViewTargetDirs) job_->RefreshTargetDirs();
    ShowDirs(List, std::min(index, static_cast<int>(dirs.size()) - 1));
}

bool TFormMain::eventFilter(QObject* Watched, QEvent* Event) {
    if ((Watched == ListViewSourceDirs || Watched == ListViewTargetDirs) &&
        Event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(Event)->key() == Qt::Key_Delete) {
        DelDirClick(static_cast<QTreeWidget*>(Watched));
        return true;
    }
    return QMainWindow::eventFilter(Watched, Event);
}

void TFormMain::dragEnterEvent(QDragEnterEvent* Event) {
    if (Event->mimeData()->hasUrls()) Event->acceptProposedAction();
}

void TFormMain::dropEvent(QDropEvent* Event) {
    const QPoint at = ListViewTargetDirs->mapFrom(this, Event->position().toPoint());
    QTreeWidget* list = ListViewTargetDirs->isEnabled() && ListViewTargetDirs->rect().contains(at)
                            ? ListViewTargetDirs
                            : ListViewSourceDirs;
    for (const QUrl& url : Event->mimeData()->urls()) {
        if (!url.isLocalFile()) continue;
        const std::string path = url.toLocalFile().toStdString();
        if (path.size() <= 4095) AddDirectory(list, path);
    }
    Event->acceptProposedAction();
}

void TFormMain::RefreshTargetDirs() {
    job_->RefreshTargetDirs();
    const int selected =
        ListViewTargetDirs->currentItem() && ListViewTargetDirs->currentItem()->isSelected()
            ? ListViewTargetDirs->indexOfTopLevelItem(ListViewTargetDirs->currentItem())
            : -1;
    ListViewTargetDirs->setUpdatesEnabled(false);
    ShowDirs(ListViewTargetDirs, selected);
    ListViewTargetDirs->setUpdatesEnabled(true);
    const bool enabled = settings_.DirectoryMode() != TDirectoryMode::Rebound;
    ListViewTargetDirs->setEnabled(enabled);
    QPalette palette = ListViewTargetDirs->palette();
    palette.setColor(QPalette::Base,
                     QApplication::palette().color(enabled ? QPalette::Base : QPalette::Button));
    ListViewTargetDirs->setPalette(palette);
    for (QPushButton* b :
         {ButtonAddTargetDir, ButtonUpTargetDir, ButtonDownTargetDir, ButtonDelTargetDir})
        b->setEnabled(enabled);
    if (!enabled) ListViewTargetDirs->clearSelection();
}

// --- settings ---------------------------------------------------------------------------

void TFormMain::ShowSettingsSummary() {
    for (const auto& failure :
         {settings_.CheckSourceExtensions(), settings_.CheckTargetExtension()})
        if (failure && !job_->StartingUp) messages_->ShowError(failure->Message);
    LabelSourceExt->setText(QString::fromStdString(SourceExtensionsSummary(settings_)));
    LabelTargetExt->setText(QString::fromStdString(TargetExtensionSummary(settings_)));
    LabelFTag->setText(QString::fromStdString(settings_.FormatTagLabel()));
    LabelFAttributes->setText(QString::fromStdString(settings_.FormatAttributesLabel()));
    LabelFormatQuality->setText(settings_.Option(RadioQuality) ? "High Quality" : "High Speed");
    static const char* const modes[] = {"Classical", "Direct Link", "Rebound"};
    LabelMode->setText(modes[static_cast<int>(settings_.DirectoryMode())]);
    LabelAfter->setText(settings_.Option(RadioMove) ? "Moved" : "Deleted");
    static const char* const policies[] = {"Overwrite it", "Skip source file (!)",
                                           "Prompt what to do"};
    LabelAlready->setText(policies[static_cast<int>(settings_.TargetPolicy())]);
}

void TFormMain::ShowCheckBoxAction() {
    CheckBoxAction->setText(settings_.Option(RadioDelete) ? "Delete source file"
                                                          : "Move source file");
}

void TFormMain::MenuItemPreferencesClick() {
    if (preferences_->exec() != QDialog::Accepted) return;
    // The stored settings are now the live ones.
    try {
        settings_.LoadSettings(*ini_, folder_ + TSettings::FormatFileName);
    } catch (const std::exception& error) {
        messages_->ShowError(error.what());
    }
    ShowSettingsSummary();
    RefreshTargetDirs();
    ShowCheckBoxAction();
}

void TFormMain::MenuItemAboutClick() {
    about_->exec();
}

void TFormMain::MenuItemHelpClick() {
    const std::string dir = ProgramDirectory();
    for (const std::string& candidate :
         {dir + "ReadMe.txt", dir + "../share/doc/sonbar/ReadMe.txt"}) {
        if (fileops::Exists(candidate) && !fileops::IsDirectory(candidate)) {
            OpenDocument(fileops::Normalise(candidate));
            return;
        }
    }
    messages_->ShowError("File README.TXT not found !");
}

// --- job --------------------------------------------------------------------------------

bool TFormMain::OpenRecord() {
    if (settings_.LogFile.empty() || settings_.LogFile == recordFile_) return true;
    if (const std::string failure = record_.Open(settings_.LogFile); !failure.empty()) {
        messages_->ShowError(failure);
        return false;
    }
    recordFile_ = settings_.LogFile;
    return true;
}

void TFormMain::FileEnded(const TFileOutcome& Outcome) {
    ListViewFiles->Add(Outcome);
    if (Outcome.Kind == TFileOutcome::TKind::Failed) {
        failedSource_ = Outcome.Source;
        jobMessages_->Quiet = settings_.KeepGoing;
    }
    if (!recordFile_.empty() && recordFile_ == settings_.LogFile) record_.Write(Outcome);
}

void TFormMain::PassedOver(const std::string& Source, const std::string& Reason) {
    TFileOutcome outcome;
    outcome.Kind = TFileOutcome::TKind::PassedOver;
    outcome.Source = Source;
    outcome.Message = Reason;
    FileEnded(outcome);
}

void TFormMain::ButtonGoClick() {
    // A click on Go starts a new list; the idle hook and the wait timer go on with it.
    if (job_->JobState() == jsStopped && !job_->GoWhenIdle && sender() == ButtonGo) {
        ListViewFiles->clear();
        job_->Search().Skip.clear();
    }
    if (!OpenRecord()) return;
    const TGoResult result = job_->ButtonGoClick();
    if (result == TGoResult::Invalid) {
        if (settings_.SourceDirs.empty())
            ButtonAddSourceDir->setFocus();
        else if (settings_.DirectoryMode() != TDirectoryMode::Rebound &&
                 settings_.TargetDirs.empty())
            ButtonAddTargetDir->setFocus();
    }
}

void TFormMain::AppIdle() {
    idleQueued_ = false;
    if (job_->GoWhenIdle) ButtonGoClick();
}

void TFormMain::TimerWaitForFileTimer() {
    job_->TimerWaitForFileTimer();
}

void TFormMain::OnThreadCreated(TRecodingThread& Thread) {
    const uint64_t serial = ++jobSerial_;
    progressShift_ = 0;
    ProgressBar->setRange(0, 1);
    ProgressBar->setValue(0);
    // The worker never waits for the window: its end is posted, and progress is read by a
    // timer of the window's own.
    Thread.OnDone = [this, serial] {
        QMetaObject::invokeMethod(
            this,
            [this, serial] {
                if (serial == jobSerial_) OnThreadDone();
            },
            Qt::QueuedConnection);
    };
}

void TFormMain::OnThreadDone() {
    failedSource_.clear();
    job_->RecodingThreadDone();
    jobMessages_->Quiet = false;
    if (failedSource_.empty() || !settings_.KeepGoing) return;
    job_->Search().Skip.insert(failedSource_);
    if (!CheckBoxStopAfter->isChecked()) job_->GoWhenIdle = true;
}

void TFormMain::SetProgressMax(int64_t SourceSize) {
    // A 32-bit bar: sizes beyond it are shown in coarser steps.
    progressShift_ = 0;
    while ((SourceSize >> progressShift_) > std::numeric_limits<int>::max()) ++progressShift_;
    ProgressBar->setRange(0, std::max(1, static_cast<int>(SourceSize >> progressShift_)));
    progressMax_ = SourceSize;
}

void TFormMain::UpdateProgress(const TProgressFigures& Figures) {
    if (Figures.SourceSize != progressMax_) SetProgressMax(Figures.SourceSize);
    if (Figures.HasPercent) {
        LabelPercent->setText(QString::fromStdString(Figures.PercentText));
        ProgressBar->setValue(
            static_cast<int>(std::min(Figures.BytesRead, Figures.SourceSize) >> progressShift_));
    }
    LabelTime->setText(QString::fromStdString(Figures.Time));
    if (Figures.HasRates) {
        LabelRemainingTime->setText(QString::fromStdString(Figures.RemainingTime));
        LabelTotalTime->setText(QString::fromStdString(Figures.TotalTime));
        LabelBytesPerSec->setText(QString::fromStdString(Figures.BytesPerSec));
    }
    if (job_->JobState() == jsRecoding)
        setWindowTitle(QString::fromStdString(
            JobStateTitle(job_->JobState(), job_->WaitCountdown(), job_->Figures())));
}

void TFormMain::ResetJobDisplay() {
    setWindowTitle("Sonbar  [Stopped]");
    LabelPercent->setText("0%");
    ProgressBar->setValue(0);
    for (QLabel* label : {LabelTime, LabelRemainingTime, LabelTotalTime})
        label->setText("00:00:00");
    LabelBytesPerSec->setText("0");
}

void TFormMain::JobDisplayChanged() {
    const TJobState state = job_->JobState();
    for (QLabel* label : GroupBoxJob->findChildren<QLabel*>())
        label->setEnabled(state == jsRecoding);
    LabelPercent->setVisible(state == jsRecoding || state == jsSuspended);
    ButtonGo->setEnabled(state == jsStopped || state == jsWaiting);
    ButtonCancel->setEnabled(state != jsStopped);
    ButtonSuspend->setEnabled(state == jsRecoding);
    ButtonResume->setEnabled(state == jsSuspended);
    LabelSourceFile->setText(
        QString::fromStdString(JobSourceLabel(job_->SourceFile, job_->SourceFileSize)));
    LabelTargetFile->setText(QString::fromStdString(job_->TargetFile));
    GroupBoxJob->setTitle(
        QString::fromStdString(JobStateCaption(job_->JobState(), job_->WaitCountdown())));
    LabelFilesProcessed->setText(QString::number(job_->FilesProcessed()));
    if (state == jsStopped)
        ResetJobDisplay();
    else
        setWindowTitle(QString::fromStdString(
            JobStateTitle(job_->JobState(), job_->WaitCountdown(), job_->Figures())));
    if (state == jsWaiting) {
        if (realWaitTimer_ && !TimerWaitForFile->isActive()) TimerWaitForFile->start();
    } else {
        TimerWaitForFile->stop();
    }
    if (state == jsRecoding) {
        if (!TimerProgress->isActive()) TimerProgress->start();
    } else {
        TimerProgress->stop();
    }
    // The engine has just measured the free space again.
    const auto& free = job_->TargetFreeSpace();
    for (int i = 0; i < ListViewTargetDirs->topLevelItemCount(); ++i)
        ListViewTargetDirs->topLevelItem(i)->setText(
            1, QString::fromStdString(FreeSpaceText(static_cast<std::size_t>(i) < free.size()
                                                        ? free[static_cast<std::size_t>(i)]
                                                        : -1)));
}
