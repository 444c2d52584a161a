// SPDX-License-Identifier: GPL-3.0-or-later
// The format chooser: lets the user pick any format the installed codecs offer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "UKoObject.h"
#include "UKoWaveFormat.h"

class QWidget;

// Restrictions of the formats offered; each is one bit of TKoACMChooseFlags.
enum TKoACMChooseFlag : uint8_t { cfConvert, cfSuggest, cfHardware, cfInput, cfOutput };
using TKoACMChooseFlags = uint8_t;

constexpr TKoACMChooseFlags KoChooseBit(TKoACMChooseFlag Flag) {
    return static_cast<TKoACMChooseFlags>(1u << Flag);
}

class TKoACMFormatChoose : public TKoObject {
  public:
    TKoACMFormatChoose();
    ~TKoACMFormatChoose() override;

    QWidget* OwnerWindow = nullptr;
    // Empty: the codec manager's own caption.
    std::string Title;
    TKoACMChooseFlags EnumFlags = 0;

    // Preselected in the dialog when specified; it must then be complete.
    TKoWaveFormat& InitialFormat() { return *initialFormat_; }
    // nullptr clears the preselection.
    void SetInitialFormat(const TKoWaveFormat* Format) { initialFormat_->Assign(Format); }
    // Restricts the formats offered: with cfConvert or cfSuggest it is the complete format to
    // convert from; otherwise its known primary fields must match.
    TKoWaveFormat& EnumFormat() { return *enumFormat_; }

    // Tag name and description of the last format chosen.
    const std::string& FormatTagName() const { return formatTagName_; }
    const std::string& FormatName() const { return formatName_; }

    // Shows the dialog modally. The chosen complete format, or nullptr when the user cancelled
    // or the dialog failed. Raises EKoError, before showing anything, for an incomplete initial
    // format or for cfConvert / cfSuggest without a complete EnumFormat.
    virtual std::unique_ptr<TKoWaveFormat> Execute();

  private:
    std::unique_ptr<TKoWaveFormat> initialFormat_;
    std::unique_ptr<TKoWaveFormat> enumFormat_;
    std::string formatTagName_;
    std::string formatName_;
};
