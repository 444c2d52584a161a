// SPDX-License-Identifier: GPL-3.0-or-later
// Drives the modal format chooser from inside its own event loop: a timer waits for the
// dialog, records what it shows, lets the test act on it and clicks OK or Cancel.
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace choosertest {

inline void EnsureApplication() {
    if (QApplication::instance()) return;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "sonbar_chooser_tests";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
}

inline std::vector<std::string> Items(const QComboBox& Combo) {
    std::vector<std::string> items;
    for (int i = 0; i < Combo.count(); ++i) items.push_back(Combo.itemText(i).toStdString());
    return items;
}

// What the dialog showed when the timer found it.
struct Shown {
    bool shown = false;
    std::string title;
    std::vector<std::string> labels;  // without mnemonics
    std::vector<std::string> tags;
    std::string tag, format;  // the preselection
    // Per tag, the formats the second list offers once that tag is picked.
    std::vector<std::vector<std::string>> formatsPerTag;
};

struct Dialog {
    QDialog* dialog;
    QComboBox* tags() const { return dialog->findChild<QComboBox*>("formatTags"); }
    QComboBox* formats() const { return dialog->findChild<QComboBox*>("formats"); }
    // Picks a tag and a format by their texts; false when either is not offered.
    bool Pick(const std::string& Tag, const std::string& Format) const {
        const int t = tags()->findText(QString::fromStdString(Tag));
        if (t < 0) return false;
        tags()->setCurrentIndex(t);
        const int f = formats()->findText(QString::fromStdString(Format));
        if (f < 0) return false;
        formats()->setCurrentIndex(f);
        return true;
    }
};

enum class Answer { Ok, Cancel };

// Runs Call (which opens the dialog) while the dialog is recorded, Act runs on it, and the
// answer's button is clicked. WalkTags also records the formats offered under every tag.
inline Shown Drive(const std::function<void()>& Call, Answer Reply,
                   const std::function<void(const Dialog&)>& Act = {}, bool WalkTags = false) {
    EnsureApplication();
    Shown seen;
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(10);
    int attempts = 0;
    QObject::connect(timer.get(), &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            // Nothing came up within a few seconds: give up rather than hang.
            if (++attempts > 500) timer->stop();
            return;
        }
        timer->stop();
        Dialog d{dialog};
        seen.shown = true;
        seen.title = dialog->windowTitle().toStdString();
        for (QLabel* label : dialog->findChildren<QLabel*>())
            seen.labels.push_back(label->text().remove('&').toStdString());
        seen.tags = Items(*d.tags());
        seen.tag = d.tags()->currentText().toStdString();
        seen.format = d.formats()->currentText().toStdString();
        if (WalkTags) {
            for (int i = 0; i < d.tags()->count(); ++i) {
                d.tags()->setCurrentIndex(i);
                seen.formatsPerTag.push_back(Items(*d.formats()));
            }
        }
        if (Act) Act(d);
        auto* box = dialog->findChild<QDialogButtonBox*>();
        box->button(Reply == Answer::Ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
    });
    timer->start();
    Call();
    timer->stop();
    return seen;
}

}  // namespace choosertest
