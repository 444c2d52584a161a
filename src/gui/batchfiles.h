// SPDX-License-Identifier: GPL-3.0-or-later
// The files of this batch under the job panel: what became of each, as the batch record
// keeps it. Double-click opens the target's folder; the context menu copies the list.
#pragma once

#include <QTreeWidget>

#include "seams.h"

class TBatchFiles : public QTreeWidget {
    Q_OBJECT
  public:
    explicit TBatchFiles(QWidget* Parent = nullptr);
    enum TColumn { Outcome, Source, Target, BytesIn, BytesOut, Seconds, Message, ColumnCount };
    void Add(const TFileOutcome& O);
    // The rows as tab-separated lines, the header first.
    QString AsText() const;
    // How a double-click opens a folder; a test may put its own in.
    std::function<void(const QString&)> OpenFolder;

  private:
    void OnActivated(QTreeWidgetItem* Item);
};
