// SPDX-License-Identifier: GPL-3.0-or-later
#include "guiseams.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QMessageBox>
#include <QSoundEffect>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QUrl>
#include <algorithm>

#include "FStatusInfo.h"

QString DisplayText(const std::string& Text) {
    QString text = QString::fromStdString(Text);
    text.replace("\r\n", "\n");
    text.replace('\r', '\n');
    return text;
}

void TQtMessages::ShowError(const std::string& Text) {
    QMessageBox::critical(parent_, QApplication::applicationDisplayName(), DisplayText(Text));
}

void TQtMessages::ShowJobError(const std::string& Source, const std::string& Text) {
    ShowErrorAbout(Source, Text);
}

void TQtMessages::ShowErrorAbout(const std::string& File, const std::string& Text) {
    // The program's text first; which file it was about below it.
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(),
                    DisplayText(Text), QMessageBox::Ok, parent_);
    box.setInformativeText(QString::fromStdString(File));
    box.exec();
}

void TQtMessages::ShowInformation(const std::string& Text) {
    QMessageBox::information(parent_, QApplication::applicationDisplayName(), DisplayText(Text));
}

TAnswer TQtMessages::Ask(const std::string& Text, bool WithCancel) {
    return AskAbout("", Text, WithCancel);
}

TAnswer TQtMessages::AskAbout(const std::string& File, const std::string& Text, bool WithCancel) {
    auto buttons = QMessageBox::Yes | QMessageBox::No;
    if (WithCancel) buttons |= QMessageBox::Cancel;
    QMessageBox box(QMessageBox::Question, QApplication::applicationDisplayName(),
                    DisplayText(Text), buttons, parent_);
    box.setInformativeText(QString::fromStdString(File));
    // Closing the box is Cancel where there is one, else No.
    box.setEscapeButton(WithCancel ? QMessageBox::Cancel : QMessageBox::No);
    const auto answer = box.exec();
    if (answer == QMessageBox::Yes) return TAnswer::Yes;
    if (answer == QMessageBox::No) return TAnswer::No;
    return WithCancel ? TAnswer::Cancel : TAnswer::No;
}

void TQtMessages::ShowInfo(const std::string& Text) {
    if (status_) status_->ShowInfo(DisplayText(Text));
}

void TQtMessages::CloseInfo() {
    if (status_) status_->close();
}

QString QtFilter(const std::string& Filter) {
    const QStringList parts = QString::fromStdString(Filter).split('|', Qt::SkipEmptyParts);
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(';', ' ');
        QString description = parts[i];
        // Qt reads the patterns from the last parentheses: give them Qt's own spelling.
        const qsizetype open = description.lastIndexOf('(');
        if (open >= 0) description = description.left(open).trimmed();
        filters << description + " (" + patterns + ")";
    }
    return filters.join(";;");
}

std::optional<std::string> TQtFileChooser::Choose(QWidget* Parent, const std::string& Title,
                                                  const std::string& Filter,
                                                  const std::string& PresetName,
                                                  const std::string& InitialDir) {
    QFileDialog dialog(Parent, QString::fromStdString(Title));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::ReadOnly);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilters(QtFilter(Filter).split(";;"));
    if (!InitialDir.empty() && QFileInfo(QString::fromStdString(InitialDir)).isDir())
        dialog.setDirectory(QString::fromStdString(InitialDir));
    dialog.selectFile(QString::fromStdString(PresetName));
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return std::nullopt;
    // With no name typed, the dialog's directory stands for the choice.
    QFileInfo chosen(files.first());
    if (chosen.isDir()) return (chosen.absoluteFilePath() + "/Select.Dir").toStdString();
    return chosen.absoluteFilePath().toStdString();
}

std::optional<std::string> TQtFileChooser::ChooseDirectory(QWidget* Parent,
                                                           const std::string& Title,
                                                           const std::string& InitialDir) {
    QString initial = QString::fromStdString(InitialDir);
    if (initial.isEmpty() || !QFileInfo(initial).isDir()) initial.clear();
    const QString chosen = QFileDialog::getExistingDirectory(Parent, QString::fromStdString(Title),
                                                             initial, QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty()) return std::nullopt;
    return QFileInfo(chosen).absoluteFilePath().toStdString();
}

TQtSound::TQtSound() = default;
TQtSound::~TQtSound() = default;

void TQtSound::Beep() {
    QApplication::beep();
}

void TQtSound::PlayWav(const std::string& File) {
    if (File.empty() || !QFileInfo(QString::fromStdString(File)).isFile()) return;
    if (!effect_) effect_ = std::make_unique<QSoundEffect>();
    effect_->stop();
    effect_->setSource(QUrl::fromLocalFile(QString::fromStdString(File)));
    effect_->play();  // asynchronous; without an output device it stays silent
}

TOpenDialogSetup PrepareOpenDialog(TOpenKind Kind, const std::string& SourceExtLabel,
                                   const std::string& TargetExtension) {
    const std::string all = "All Files (*.*)|*.*";
    switch (Kind) {
        case TOpenKind::SourceDir:
            return {"Directory selection",
                    (SourceExtLabel.empty()
                         ? std::string()
                         : "Source Audio Files (" + SourceExtLabel + ")|" + SourceExtLabel + "|") +
                        all,
                    "Select.Dir"};
        case TOpenKind::TargetDir:
            return {"Directory selection",
                    (TargetExtension.empty() ? std::string()
                                             : "Target Audio Files (*." + TargetExtension + ")|*." +
                                                   TargetExtension + "|") +
                        all,
                    "Select.Dir"};
        case TOpenKind::MoveDir:
            return {"Directory selection", all, "Select.Dir"};
        case TOpenKind::WavFile:
            return {"File selection", "WAV Audio Files (*.wav)|*.wav|" + all, "*.wav"};
    }
    return {};
}

std::string StripUncPath(const std::string& Path) {
    return Path.size() > 2 && Path.rfind("//", 0) == 0 ? std::string() : Path;
}

namespace {
// Repositions its widget whenever the group box changes size or font.
class TFramePlacer : public QObject {
  public:
    TFramePlacer(QGroupBox* Box, QWidget* Widget, bool AtRight)
        : QObject(Box), box_(Box), widget_(Widget), atRight_(AtRight) {
        Box->installEventFilter(this);
        Widget->setAutoFillBackground(true);
        Place();
    }
    bool eventFilter(QObject*, QEvent* Event) override {
        if (Event->type() == QEvent::Resize || Event->type() == QEvent::Show ||
            Event->type() == QEvent::LayoutRequest)
            Place();
        return false;
    }

  private:
    void Place() {
        QStyleOptionGroupBox option;
        option.initFrom(box_);
        option.text = box_->title();
        option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
        option.lineWidth = 1;
        const QRect label = box_->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                          QStyle::SC_GroupBoxLabel, box_);
        const QSize size = widget_->sizeHint();
        const int top = label.center().y() - size.height() / 2;
        const int left = atRight_ ? box_->width() - size.width() - 12 : label.left();
        widget_->setGeometry(left, std::max(0, top), size.width(), size.height());
        widget_->raise();
    }
    QGroupBox* box_;
    QWidget* widget_;
    bool atRight_;
};
}  // namespace

void PlaceOnFrame(QGroupBox* Box, QWidget* Widget, bool AtRight) {
    if (!AtRight) {
        // A blank title as wide as the widget keeps the frame's gap for it.
        const int width = Widget->sizeHint().width() + 4;
        QString blank(" ");
        while (Box->fontMetrics().horizontalAdvance(blank) < width) blank += ' ';
        Box->setTitle(blank);
    }
    new TFramePlacer(Box, Widget, AtRight);
}

void TDBusNotifier::Notify(const std::string& Summary, const std::string& Body) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                       "/org/freedesktop/Notifications",
                                                       "org.freedesktop.Notifications", "Notify");
    call << QString("Sonbar") << 0u << QString("sonbar") << QString::fromStdString(Summary)
         << QString::fromStdString(Body) << QStringList() << QVariantMap() << -1;
    bus.call(call, QDBus::NoBlock);
}
