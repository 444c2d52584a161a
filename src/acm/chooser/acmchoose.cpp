// SPDX-License-Identifier: GPL-3.0-or-later
#include "acmchoose.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFont>
#include <QFontMetrics>
#include <QFormLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>

#include "choices.h"
#include "driver.h"

namespace {

using acm::chooser::Choice;
using acm::chooser::Position;
using acm::chooser::TagChoices;

constexpr uint32_t kKnownStyles =
    ACMFORMATCHOOSE_STYLEF_SHOWHELP | ACMFORMATCHOOSE_STYLEF_ENABLEHOOK |
    ACMFORMATCHOOSE_STYLEF_ENABLETEMPLATE | ACMFORMATCHOOSE_STYLEF_ENABLETEMPLATEHANDLE |
    ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT | ACMFORMATCHOOSE_STYLEF_CONTEXTHELP;
constexpr uint32_t kCustomisation = ACMFORMATCHOOSE_STYLEF_ENABLEHOOK |
                                    ACMFORMATCHOOSE_STYLEF_ENABLETEMPLATE |
                                    ACMFORMATCHOOSE_STYLEF_ENABLETEMPLATEHANDLE;

class FormatChooserDialog : public QDialog {
  public:
    FormatChooserDialog(QWidget* owner, const std::vector<TagChoices>& choices, Position initial,
                        const QString& title)
        : QDialog(owner), choices_(choices) {
        setWindowTitle(title);
        setObjectName("acmFormatChooser");

        tags_ = new QComboBox(this);
        tags_->setObjectName("formatTags");
        for (const TagChoices& t : choices_) tags_->addItem(QString::fromStdString(t.name));
        formats_ = new QComboBox(this);
        formats_->setObjectName("formats");
        formats_->setSizeAdjustPolicy(QComboBox::AdjustToContents);

        auto* tagLabel = new QLabel("&Format:", this);
        tagLabel->setBuddy(tags_);
        auto* formatLabel = new QLabel("&Attributes:", this);
        formatLabel->setBuddy(formats_);
        auto* form = new QFormLayout;
        form->addRow(tagLabel, tags_);
        form->addRow(formatLabel, formats_);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
        connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        auto* layout = new QVBoxLayout(this);
        layout->addLayout(form);
        layout->addWidget(buttons);

        // Wide enough for the longest format of any tag, so that switching tags never cuts
        // one; long lists scroll.
        formats_->setMaxVisibleItems(16);
        for (int tag = 0; tag < tags_->count(); ++tag) {
            fillFormats(tag);
            formats_->setMinimumWidth(
                std::max(formats_->minimumWidth(), formats_->sizeHint().width()));
        }
        formats_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        // And for the caption, which a window manager shows with the program's name and its
        // buttons beside it.
        QFont captionFont = font();
        captionFont.setBold(true);
        const QFontMetrics caption(captionFont);
        setMinimumWidth(
            caption.horizontalAdvance(title + " \u2014 " + QApplication::applicationDisplayName()) +
            8 * caption.height());

        tags_->setCurrentIndex(static_cast<int>(initial.tag));
        fillFormats(static_cast<int>(initial.tag));
        formats_->setCurrentIndex(static_cast<int>(initial.format));
        connect(tags_, &QComboBox::currentIndexChanged, this, [this](int index) {
            fillFormats(index);
            formats_->setCurrentIndex(0);
        });
    }

    const TagChoices& chosenTag() const {
        return choices_.at(static_cast<size_t>(tags_->currentIndex()));
    }
    const Choice& chosenFormat() const {
        return chosenTag().formats.at(static_cast<size_t>(formats_->currentIndex()));
    }

  private:
    void fillFormats(int tag) {
        formats_->clear();
        if (tag < 0) return;
        for (const Choice& c : choices_.at(static_cast<size_t>(tag)).formats)
            formats_->addItem(QString::fromStdString(c.description));
    }

    const std::vector<TagChoices>& choices_;
    QComboBox* tags_;
    QComboBox* formats_;
};

}  // namespace

MMRESULT acmFormatChoose(ACMFORMATCHOOSE* pafmtc) {
    if (!pafmtc || pafmtc->cbStruct < sizeof(ACMFORMATCHOOSE) || !pafmtc->pwfx ||
        pafmtc->cbwfx < sizeof(WAVEFORMATEX))
        return MMSYSERR_INVALPARAM;
    if (pafmtc->fdwStyle & ~kKnownStyles) return MMSYSERR_INVALFLAG;
    if (pafmtc->fdwStyle & kCustomisation) return MMSYSERR_NOTSUPPORTED;
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return MMSYSERR_ERROR;

    const WAVEFORMATEX* initial = nullptr;
    if (pafmtc->fdwStyle & ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT) {
        if (acm::recordSize(pafmtc->pwfx) > pafmtc->cbwfx) return MMSYSERR_INVALPARAM;
        initial = pafmtc->pwfx;
    }

    std::vector<TagChoices> choices;
    if (MMRESULT r = acm::chooser::collectChoices(pafmtc->fdwEnum, pafmtc->pwfxEnum, &choices))
        return r;
    if (choices.empty()) return ACMERR_NOTPOSSIBLE;
    // Refuse before the user picks something that would not fit the caller's buffer.
    for (const TagChoices& t : choices)
        for (const Choice& c : t.formats)
            if (c.record.size() > pafmtc->cbwfx) return MMSYSERR_INVALPARAM;

    const QString title = pafmtc->pszTitle && *pafmtc->pszTitle
                              ? QString::fromUtf8(pafmtc->pszTitle)
                              : QStringLiteral("Sound Selection");
    FormatChooserDialog dialog(pafmtc->hwndOwner, choices,
                               acm::chooser::initialPosition(choices, initial), title);
    if (dialog.exec() != QDialog::Accepted) return ACMERR_CANCELED;

    const Choice& chosen = dialog.chosenFormat();
    std::memcpy(pafmtc->pwfx, chosen.record.data(), chosen.record.size());
    acm::copyText(pafmtc->szFormatTag, sizeof pafmtc->szFormatTag, dialog.chosenTag().name);
    acm::copyText(pafmtc->szFormat, sizeof pafmtc->szFormat, chosen.description);
    if (pafmtc->pszName && pafmtc->cchName > 0) pafmtc->pszName[0] = '\0';
    return MMSYSERR_NOERROR;
}
