// SPDX-License-Identifier: GPL-3.0-or-later
#include "FStatusInfo.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "sonbar_version.h"

namespace {
constexpr const char* HomePage = "https://sonbar.org/";
}

void CentreOver(QWidget* Window, const QWidget* Main) {
    if (!Main) return;
    const QRect main = Main->frameGeometry();
    const QSize own = Window->frameGeometry().size();
    // Integer division truncates toward zero, as the offsets must.
    Window->move(main.left() + (main.width() - own.width()) / 2,
                 main.top() + (main.height() - own.height()) / 2);
}

static void InitResources() {
    // The windows live in a static library: its resources must be registered by hand.
    Q_INIT_RESOURCE(sonbar);
}

QIcon ProgramIcon() {
    InitResources();
    return QIcon::fromTheme("org.sonbar.Sonbar", QIcon(":/sonbar/org.sonbar.Sonbar-128.png"));
}

TFormStatusInfo::TFormStatusInfo(QWidget* Main)
    : QWidget(Main, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), main_(Main) {
    setObjectName("FormStatusInfo");
    auto* panel = new QFrame(this);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(2);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(panel);
    LabelInfo = new QLabel(panel);
    LabelInfo->setObjectName("LabelInfo");
    LabelInfo->setAlignment(Qt::AlignCenter);
    QFont font = LabelInfo->font();
    font.setBold(true);
    font.setPixelSize(13);
    LabelInfo->setFont(font);
    auto* inner = new QVBoxLayout(panel);
    inner->setContentsMargins(16, 16, 16, 16);
    inner->addWidget(LabelInfo);
    setFixedSize(335, 55);
}

void TFormStatusInfo::ShowInfo(const QString& Text) {
    LabelInfo->setText(Text);
    if (busy_++ == 0) QApplication::setOverrideCursor(Qt::WaitCursor);
    CentreOver(this, main_);
    show();
    repaint();
}

void TFormStatusInfo::closeEvent(QCloseEvent* Event) {
    // However often it was shown, one close gives the cursor back.
    while (busy_ > 0) {
        QApplication::restoreOverrideCursor();
        --busy_;
    }
    QWidget::closeEvent(Event);
}

TFormAbout::TFormAbout(QWidget* Main) : QDialog(Main), main_(Main) {
    setObjectName("FormAbout");
    setWindowTitle("About");
    auto* panel = new QFrame(this);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setFixedSize(138, 138);
    Image = new QLabel(panel);
    Image->setObjectName("Image");
    Image->setPixmap(ProgramIcon().pixmap(128, 128));
    Image->setFixedSize(128, 128);
    Image->setScaledContents(true);

    auto centred = [this](const QString& text, const char* name) {
        auto* label = new QLabel(text, this);
        label->setObjectName(name);
        label->setAlignment(Qt::AlignCenter);
        return label;
    };
    Label1 = centred("Sonbar", "Label1");
    QFont big = Label1->font();
    big.setBold(true);
    big.setPixelSize(27);
    Label1->setFont(big);
    LabelVersion = centred("Version " SONBAR_VERSION, "LabelVersion");
    QFont bold = LabelVersion->font();
    bold.setBold(true);
    LabelVersion->setFont(bold);
    LabelMyself = centred("A batch audio recoder for directories of WAVE files", "LabelMyself");
    LabelMyself->setWordWrap(true);
    LabelURL = centred(HomePage, "LabelURL");
    QFont small = LabelURL->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    small.setUnderline(true);
    LabelURL->setFont(small);
    LabelURL->setForegroundRole(QPalette::Link);
    LabelURL->setCursor(Qt::PointingHandCursor);
    LabelURL->installEventFilter(this);
    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("BitBtn1");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* text = new QVBoxLayout;
    text->addWidget(Label1);
    text->addWidget(LabelVersion);
    text->addWidget(LabelMyself);
    text->addWidget(LabelURL);
    text->addStretch();
    text->addWidget(ok, 0, Qt::AlignHCenter);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(7, 7, 7, 7);
    row->addWidget(panel, 0, Qt::AlignTop);
    row->addLayout(text, 1);
    setMinimumWidth(365);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

void TFormAbout::showEvent(QShowEvent* Event) {
    QDialog::showEvent(Event);
    CentreOver(this, main_);
    const QWidget* panel = Image->parentWidget();
    Image->move((panel->width() - Image->width()) / 2, (panel->height() - Image->height()) / 2);
}

bool TFormAbout::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == LabelURL && Event->type() == QEvent::MouseButtonRelease)
        QDesktopServices::openUrl(QUrl(HomePage));
    return QDialog::eventFilter(Watched, Event);
}
