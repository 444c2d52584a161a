// SPDX-License-Identifier: GPL-3.0-or-later
// The codec manager's modal format chooser: lists every format tag and, per tag, the formats
// the drivers enumerate, and returns the one the user picks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "acm.h"

class QWidget;

constexpr uint32_t ACMFORMATCHOOSE_STYLEF_SHOWHELP = 0x00000004;
constexpr uint32_t ACMFORMATCHOOSE_STYLEF_ENABLEHOOK = 0x00000008;
constexpr uint32_t ACMFORMATCHOOSE_STYLEF_ENABLETEMPLATE = 0x00000010;
constexpr uint32_t ACMFORMATCHOOSE_STYLEF_ENABLETEMPLATEHANDLE = 0x00000020;
// pwfx holds the format to preselect.
constexpr uint32_t ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT = 0x00000040;
constexpr uint32_t ACMFORMATCHOOSE_STYLEF_CONTEXTHELP = 0x00000080;

struct ACMFORMATCHOOSE {
    uint32_t cbStruct;
    uint32_t fdwStyle;     // ACMFORMATCHOOSE_STYLEF_*
    QWidget* hwndOwner;    // parent of the dialog, or null
    WAVEFORMATEX* pwfx;    // receives the chosen format (and holds the initial one)
    uint32_t cbwfx;        // bytes at pwfx
    const char* pszTitle;  // caption; null for "Sound Selection"
    char szFormatTag[ACMFORMATTAGDETAILS_FORMATTAG_CHARS];  // out: tag name
    char szFormat[ACMFORMATDETAILS_FORMAT_CHARS];           // out: format description
    char* pszName;  // named formats are not kept: receives "" when given
    uint32_t cchName;
    uint32_t fdwEnum;        // ACM_FORMATENUMF_* restricting the list
    WAVEFORMATEX* pwfxEnum;  // the restricting format, as for acmFormatEnum
    void* hInstance;         // custom templates and hooks are not supported: keep 0
    const char* pszTemplateName;
    intptr_t lCustData;
    void* pfnHook;
};

// Shows the dialog modally (a QApplication must exist). MMSYSERR_NOERROR with the chosen record
// in pwfx and its texts; ACMERR_CANCELED when the user cancels (pwfx and the texts untouched);
// MMSYSERR_INVALPARAM for a bad record or a pwfx too small for the formats offered;
// ACMERR_NOTPOSSIBLE when no format matches the restriction.
MMRESULT acmFormatChoose(ACMFORMATCHOOSE* pafmtc);
