#pragma once

#include <cstdlib>
#include <optional>
#include <type_traits>

#include "Utils/assertion.h"

namespace TarnEngine {

// Arguments given as one space-separated text (commands run from the engine's
// own code or console). A float or double argument takes the next token
// converted by atof, a string argument takes the token itself, an optional
// one has no value once the tokens are used up; any other type is reported
// ("unknown paremeter type !"). Tokens are cut in place.
class CTextArgReader
{
public:
    explicit CTextArgReader(char* pText) : m_pCursor(pText) {}

    template <class T> bool ReadArg(std::optional<T>& kValue)
    {
        kValue.reset();
        if (!HasToken())
            return true;
        T kRead{};
        if (!ReadArg(kRead))
            return false;
        kValue = kRead;
        return true;
    }

    template <class T> bool ReadArg(T& kValue)
    {
        if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double> || std::is_same_v<T, const char*>)
        {
            const char* pToken = NextToken();
            if (!TARN_ASSERT(pToken, "missing text argument"))
                return false;
            if constexpr (std::is_same_v<T, const char*>)
                kValue = pToken;
            else
                kValue = static_cast<T>(atof(pToken));
            return true;
        }
        else
        {
            (void)kValue;
            TARN_ASSERT(false, "unknown paremeter type !");
            return false;
        }
    }

private:
    // Whether a token is left.
    bool HasToken() const;
    // The next space-separated token, terminated in place; null at the end.
    const char* NextToken();
    char* m_pCursor;
};

}  // namespace TarnEngine
