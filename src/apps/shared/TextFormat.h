#pragma once

// Numbers as the programs' text outputs write them.
#include <cstdio>
#include <string>

namespace TarnApp {

// dValue with at most iDecimals decimals and no trailing zeros ("1.5",
// "2", "-0.25"); a value that rounds to zero is "0", never "-0".
inline std::string ShortNumber(double dValue, int iDecimals)
{
    char acText[48];
    snprintf(acText, sizeof(acText), "%.*f", iDecimals, dValue);
    std::string kText(acText);
    if (kText.find('.') != std::string::npos)
    {
        while (kText.back() == '0')
            kText.pop_back();
        if (kText.back() == '.')
            kText.pop_back();
    }
    if (kText == "-0")
        kText = "0";
    return kText;
}

}  // namespace TarnApp
