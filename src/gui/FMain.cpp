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
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <algorithm>

#include "FPreferences.h"
#include "FStatusInfo.h"
#include "batch.h"
#include "batchfiles.h"
#include "claims.h"
#include "dirlisteditor.h"
#include "fileops.h"
#include "jobpanel.h"
#include "jobtexts.h"
#include "sonbar_version.h"
#include "watch.h"

// The job control's messages: while a failed file is passed over under "Continue after a
// failed file", its boxes are left out (the list of files shows the failure).
class TFormMain::TKeepGoingMessages : public IMessages {
  public:
    explicit TKeepGoingMessages(IMessages& Target) : target_(Target) {}
    bool Quiet = false;
    // Quiet: the failure's own messages are passed over, up to its last box.
    void ShowError(const std::string& Text) override {
        if (Quiet)
            Quiet = false;
        else
            target_.ShowError(Text);
    }
    void ShowErrorAbout(const std::string& File, const std::string& Text) override {
        if (Quiet)
            Quiet = false;
        else
            target_.ShowErrorAbout(File, Text);
    }
    void ShowJobError(const std::string& Source, const std::string& Text) override {
        if (!Quiet) target_.ShowJobError(Source, Text);
    }
    void ShowInformation(const std::string& Text) override { target_.ShowInformation(Text); }
    TAnswer Ask(const std::string& Text, bool WithCancel) override {
        return target_.Ask(Text, WithCancel);
    }
    TAnswer AskAbout(const std::string& File, const std::string& Text, bool WithCancel) override {
        return target_.AskAbout(File, Text, WithCancel);
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
    if (!Setup.Notifier) ownNotifier_ = std::make_unique<TDBusNotifier>();
    messages_ = Setup.Messages ? Setup.Messages : ownMessages_.get();
    chooser_ = Setup.Chooser ? Setup.Chooser : ownChooser_.get();
    clock_ = Setup.Clock ? Setup.Clock : ownClock_.get();
    sound_ = Setup.Sound ? Setup.Sound : ownSound_.get();
    notifier_ = Setup.Notifier ? Setup.Notifier : ownNotifier_.get();

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
    connect(TimerProgress, &QTimer::timeout, this, [this] {
        if (batch_)
            BatchProgress();
        else
            job_->UpdateProgress();
    });

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
    // The jobs end before the windows they report to.
    waitWatch_.reset();
    batch_.reset();
    job_.reset();
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
    SourceDirsEditor->FitColumns();
    TargetDirsEditor->FitColumns();
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
    SourceDirsEditor->ShowDirs(-1);
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
    if (!BatchCancel() || !job_->FormCloseQuery()) {
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

TDirListEditor* TFormMain::EditorOf(QTreeWidget* List) const {
    return List == ListViewTargetDirs ? TargetDirsEditor : SourceDirsEditor;
}

void TFormMain::AddDirectory(QTreeWidget* List, const std::string& Path) {
    EditorOf(List)->AddDirectory(Path);
}

void TFormMain::dragEnterEvent(QDragEnterEvent* Event) {
    if (Event->mimeData()->hasUrls()) Event->acceptProposedAction();
}

void TFormMain::dropEvent(QDropEvent* Event) {
    // On the target list when it takes directories, else on the sources.
    TDirListEditor* editor = TargetDirsEditor->ListTakesDropAt(this, Event->position().toPoint())
                                 ? TargetDirsEditor
                                 : SourceDirsEditor;
    editor->AddUrls(Event->mimeData()->urls());
    Event->acceptProposedAction();
}

void TFormMain::RefreshTargetDirs() {
    job_->RefreshTargetDirs();
    TargetDirsEditor->Redraw();
    TargetDirsEditor->SetListEnabled(settings_.DirectoryMode() != TDirectoryMode::Rebound);
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
    using K = TFileOutcome::TKind;
    if (Outcome.Kind == K::Recoded || Outcome.Kind == K::Skipped || Outcome.Kind == K::Failed)
        count_.Ended(Outcome.BytesIn);
    if (Outcome.Kind == K::Recoded || Outcome.Kind == K::Skipped || Outcome.Kind == K::Failed)
        ++ended_[Outcome.Kind == K::Recoded ? 0 : Outcome.Kind == K::Skipped ? 1 : 2];
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

IMessages& TFormMain::JobMessages() {
    return *jobMessages_;
}

void TFormMain::OnThreadDone() {
    failedSource_.clear();
    job_->RecodingThreadDone();
    jobMessages_->Quiet = false;
    if (!failedSource_.empty() && settings_.KeepGoing) {
        job_->Search().Skip.insert(failedSource_);
        if (!CheckBoxStopAfter->isChecked()) job_->GoWhenIdle = true;
    }
    NotifyIfEnded();
}

void TFormMain::NotifyIfEnded() {
    // Going on (the next file, or waiting for one), or nothing done: no news.
    if (batch_ || job_->JobState() != jsStopped || job_->GoWhenIdle) return;
    if (ended_[0] + ended_[1] + ended_[2] == 0) return;
    const std::string body = std::to_string(ended_[0]) + " recoded, " + std::to_string(ended_[1]) +
                             " skipped, " + std::to_string(ended_[2]) + " failed";
    ended_[0] = ended_[1] = ended_[2] = 0;
    if (settings_.Notify) notifier_->Notify("Sonbar: the batch has ended", body);
}
