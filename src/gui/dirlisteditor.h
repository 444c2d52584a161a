// SPDX-License-Identifier: GPL-3.0-or-later
// One directory list of the main window with its Add, Up, Down and Remove buttons: the
// sources' and the targets' are the same editor, the targets' with a free-space column.
#pragma once

#include <QList>
#include <QUrl>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "guiseams.h"

class QPushButton;
class QTreeWidget;
class TIniStore;

class TDirListEditor : public QWidget {
    Q_OBJECT
  public:
    // Object names of the list and the four buttons, in that order.
    struct TNames {
        const char* List;
        const char* Add;
        const char* Up;
        const char* Down;
        const char* Del;
    };
    // Target: the targets' editor (free-space column, "Target" in the "LastOpen" section).
    // The texts carry the mnemonics, which differ between the two editors of one window.
    TDirListEditor(bool Target, const TNames& Names, const char* AddText, const char* DelText,
                   std::vector<std::string>& Dirs, IMessages& Messages, IFileChooser& Chooser,
                   TIniStore& Ini, QWidget* Parent = nullptr);

    QTreeWidget* List;
    QPushButton* ButtonAdd;
    QPushButton* ButtonUp;
    QPushButton* ButtonDown;
    QPushButton* ButtonDel;

    // Set by the window: whether it is still starting up (invalid paths pass silently then),
    // what the open dialog shows, the free space per directory (targets only), and what
    // follows an edit of the list that the editor does not redraw itself.
    std::function<bool()> StartingUp;
    std::function<TOpenDialogSetup()> DialogSetup;
    std::function<const std::vector<int64_t>&()> FreeSpace;
    // After a move or a removal; an addition calls Added instead, which must redraw.
    std::function<void()> Reordered;
    std::function<void()> Added;

    void AddDirectory(const std::string& Path);
    // Dropped paths: each local one added (a file stands for its directory).
    void AddUrls(const QList<QUrl>& Urls);
    // Whether the list is enabled and under At, a point of Window's.
    bool ListTakesDropAt(const QWidget* Window, QPoint At) const;
    // Fills the list from the directories; Select: the row to select, -1 for none.
    void ShowDirs(int Select);
    // Shows the directories again, keeping the selection.
    void Redraw();
    // The free space column again, for the same directories.
    void ShowFreeSpace();
    // A disabled list looks disabled, its buttons with it.
    void SetListEnabled(bool Enabled);
    // Widths for the list's width now (the free space takes a quarter, at least a few TB).
    void FitColumns();
    // The selected row, -1 for none.
    int SelectedRow() const;

    void AddDirClick();
    void MoveDirClick(int Step);
    void DelDirClick();

  protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

  private:
    const bool target_;
    std::vector<std::string>& dirs_;
    IMessages& messages_;
    IFileChooser& chooser_;
    TIniStore& ini_;
    // A network path is offered as the start only after the first addition to the sources.
    bool firstAdd_ = true;
};
