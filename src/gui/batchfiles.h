// SPDX-License-Identifier: GPL-3.0-or-later
// The files of this batch under the job panel: what became of each, as the batch record
// keeps it. Double-click opens the target's folder; the context menu copies the list or saves
// it to a file.
#pragma once

#include <QTreeWidget>
#include <functional>

#include "seams.h"

class TBatchFiles : public QTreeWidget {
    Q_OBJECT
  public:
    explicit TBatchFiles(QWidget* Parent = nullptr);
    enum TColumn { Outcome, Source, Target, BytesIn, BytesOut, Seconds, Message, ColumnCount };
    void Add(const TFileOutcome& O);
    // The rows as tab-separated lines, the header first.
    QString AsText() const;
    // Writes AsText to File; whether it could.
    bool SaveAs(const QString& File) const;
    // "Save as...": asks for the file and writes the list there.
    void SaveAsClick();
    // How a double-click opens a folder, how "Save as..." asks for its file ("" when the user
    // cancelled) and how it says that the file could not be written (the text, the file); a
    // test may put its own in.
    std::function<void(const QString&)> OpenFolder;
    std::function<QString()> AskSaveName;
    std::function<void(const QString&, const QString&)> ShowError;

  protected:
    void resizeEvent(QResizeEvent* Event) override;

  private:
    void OnActivated(QTreeWidgetItem* Item);
    // Narrows the paths so that a message keeps room, until the user sizes them.
    void FitColumns();
    bool fitting_ = false;
    bool userSized_ = false;
};
