// SPDX-License-Identifier: GPL-3.0-or-later
// The status pop-up shown around slow work on the GUI thread, and the about box.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QWidget>

class QLabel;

// Centres Window over Main (offsets halved, truncating toward zero).
void CentreOver(QWidget* Window, const QWidget* Main);

class TFormStatusInfo : public QWidget {
    Q_OBJECT
  public:
    explicit TFormStatusInfo(QWidget* Main);
    // Shows Text with the busy cursor and paints it before returning.
    void ShowInfo(const QString& Text);
    QLabel* LabelInfo;

  protected:
    void closeEvent(QCloseEvent* Event) override;

  private:
    QWidget* main_;
    int busy_ = 0;
};

class TFormAbout : public QDialog {
    Q_OBJECT
  public:
    explicit TFormAbout(QWidget* Main);
    QLabel* Image;
    QLabel* Label1;
    QLabel* LabelVersion;
    QLabel* LabelMyself;
    QLabel* LabelURL;

  protected:
    void showEvent(QShowEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

  private:
    QWidget* main_;
};

// The program's picture: the theme's icon when installed, else the built-in one.
QIcon ProgramIcon();
