#include "Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Control/GaitActor.h"
#include "shared/TextFormat.h"

namespace GaitSim {

namespace {

using GaitPlugin::g_apAnimMovementNames;
using GaitPlugin::EAnimMovement::NB_TYPE;

constexpr double kPi = 3.14159265358979323846;

// Movement colours, in movement order: medium tones that read as lines on
// white and as fills under text. Kinds come in families, the right-hand one
// lighter: turns gold and orange, starts blue, stops purple.
constexpr const char* kMovementColours[] = {
    "#a0a0a0",  // Idle
    "#d0d0d0",  // Breath
    "#41ab5d",  // Walk
    "#f2b701",  // TurnLeft
    "#f57f20",  // TurnRight
    "#7fb8e0",  // IdleToWalkRight
    "#2f7ec1",  // IdleToWalkLeft
    "#b9a3dc",  // WalkToIdleRight
    "#7a5db0",  // WalkToIdleLeft
    "#e8c998",  // LookUp
    "#b8a03a",  // LookDown
    "#f2a3b3",  // LookLeft
    "#a6761d",  // LookRight
};
static_assert(std::size(kMovementColours) == NB_TYPE, "one colour per movement");

// Character colours: dark and saturated, apart from every movement colour.
// Past the last one they repeat; each path is numbered at its start.
constexpr const char* kCharacterColours[] = {"#000000", "#cb181d", "#ae017e", "#00676b",
                                             "#7f3b08", "#08306b", "#6a6a00"};
constexpr uint32 kCharacterColourCount = static_cast<uint32>(std::size(kCharacterColours));

// The page: every panel starts at kLeft (the room on its left holds the
// value labels) and is at most kPanelWidth wide.
constexpr double kPageWidth = 1000.0;
constexpr double kLeft = 90.0;
constexpr double kPanelWidth = kPageWidth - kLeft - 20.0;
constexpr double kSectionGap = 34.0;
constexpr double kTopViewMaxHeight = 500.0;
constexpr double kTopViewMaxScale = 120.0;  // pixels per metre, so that a short path is not blown up
constexpr double kSideLegendWidth = 250.0;
constexpr double kHeadingsHeight = 160.0;
constexpr double kLaneHeight = 22.0;
constexpr double kLaneGap = 4.0;
constexpr double kWeightsHeight = 130.0;
constexpr double kLegendRow = 18.0;
constexpr double kCallLabelRow = 12.0;
constexpr uint32 kCallLabelRows = 3;

// How many characters get their own line, lane or panel; the CSV holds all.
constexpr uint32 kMaxHeadingCharacters = kCharacterColourCount;
constexpr uint32 kMaxLanes = 16;
constexpr uint32 kMaxWeightPanels = 4;

const char* CharacterColour(uint32 uiCharacter)
{
    return kCharacterColours[uiCharacter % kCharacterColourCount];
}

// True when black text would be hard to read on the colour "#rrggbb".
bool IsDark(const char* pColour)
{
    const unsigned long uiRgb = std::strtoul(pColour + 1, nullptr, 16);
    const double dLuma =
        0.299 * double((uiRgb >> 16) & 0xff) + 0.587 * double((uiRgb >> 8) & 0xff) + 0.114 * double(uiRgb & 0xff);
    return dLuma < 140.0;
}

// A number as the page writes it: at most iDecimals decimals, no trailing
// zeros.
std::string Num(double dValue, int iDecimals = 2)
{
    return TarnApp::ShortNumber(dValue, iDecimals);
}

// Text joined by appending only (g++ 12 warns wrongly on a literal plus a
// temporary std::string).
template <typename... TParts> std::string Cat(const TParts&... kParts)
{
    std::string kText;
    (kText += ... += kParts);
    return kText;
}

// Text for XML character data and attribute values (scenario names come
// from file names and may hold any of these).
std::string Escape(const std::string& kText)
{
    std::string kOut;
    kOut.reserve(kText.size());
    for (const char c : kText)
        switch (c)
        {
            case '&':
                kOut += "&amp;";
                break;
            case '<':
                kOut += "&lt;";
                break;
            case '>':
                kOut += "&gt;";
                break;
            case '"':
                kOut += "&quot;";
                break;
            default:
                kOut += c;
        }
    return kOut;
}

// About how wide a text is in sans-serif at dFontSize pixels (bytes, so
// that the few non-ASCII signs count a little wider).
double TextWidth(const std::string& kText, double dFontSize = 12.0)
{
    return static_cast<double>(kText.size()) * dFontSize * 0.55;
}

// A tick step of 1, 2 or 5 times a power of ten that cuts dRange into at
// most iMaxTicks parts.
double NiceStep(double dRange, int iMaxTicks)
{
    const double dBase = std::pow(10.0, std::floor(std::log10(dRange / iMaxTicks)));
    for (const double dFactor : {1.0, 2.0, 5.0})
        if (dRange / (dBase * dFactor) <= iMaxTicks + 1e-9)
            return dBase * dFactor;
    return dBase * 10.0;
}

// The value of a tick: as many decimals as the step needs (0.25: two).
std::string TickLabel(double dValue, double dStep)
{
    int iDecimals = 0;
    double dScaled = dStep;
    while (iDecimals < 6 && std::fabs(dScaled - std::round(dScaled)) > 1e-6 * dScaled)
    {
        ++iDecimals;
        dScaled *= 10.0;
    }
    return Num(dValue, iDecimals);
}

// The multiples of dStep from dMin to dMax.
std::vector<double> Ticks(double dMin, double dMax, double dStep)
{
    std::vector<double> kTicks;
    const long long iFirst = std::llround(std::ceil(dMin / dStep - 1e-9));
    const long long iLast = std::llround(std::floor(dMax / dStep + 1e-9));
    for (long long i = iFirst; i <= iLast; ++i)
        kTicks.push_back(static_cast<double>(i) * dStep);
    return kTicks;
}

// The SVG body, appended piece by piece: numbers go through Num, texts
// through Escape (Text), attribute strings are written as given.
class CSvg
{
public:
    void Put(const char* pText) { m_kBody += pText; }
    void Put(const std::string& kText) { m_kBody += kText; }
    void Put(double dValue) { m_kBody += Num(dValue); }
    void Put(uint32 uiValue) { m_kBody += std::to_string(uiValue); }
    void Put(char c) { m_kBody += c; }
    template <typename... TParts> void Emit(const TParts&... kParts) { (Put(kParts), ...); }

    void Text(double x, double y, const std::string& kText, const std::string& kAttributes = "")
    {
        Emit("<text x=\"", x, "\" y=\"", y, "\"", kAttributes.empty() ? "" : " ", kAttributes, ">", Escape(kText),
             "</text>\n");
    }
    void Line(double x1, double y1, double x2, double y2, const std::string& kAttributes)
    {
        Emit("<line x1=\"", x1, "\" y1=\"", y1, "\" x2=\"", x2, "\" y2=\"", y2, "\" ", kAttributes, "/>\n");
    }
    void Rect(double x, double y, double dWidth, double dHeight, const std::string& kAttributes)
    {
        Emit("<rect x=\"", x, "\" y=\"", y, "\" width=\"", dWidth, "\" height=\"", dHeight, "\" ", kAttributes, "/>\n");
    }
    void Circle(double x, double y, double dRadius, const std::string& kAttributes)
    {
        Emit("<circle cx=\"", x, "\" cy=\"", y, "\" r=\"", dRadius, "\" ", kAttributes, "/>\n");
    }
    // A dashed arrow of dLength pixels from (x, y) toward dAngle (radians,
    // counter-clockwise from the right, as seen on the page).
    void Arrow(double x, double y, double dAngle, double dLength, const char* pColour)
    {
        const double dx = std::cos(dAngle), dy = -std::sin(dAngle);
        const double xTip = x + dLength * dx, yTip = y + dLength * dy;
        Line(x, y, xTip - 6.0 * dx, yTip - 6.0 * dy,
             std::string("stroke=\"") + pColour + "\" stroke-width=\"1.5\" stroke-dasharray=\"5 3\"");
        Emit("<polygon fill=\"", pColour, "\" points=\"", xTip, ',', yTip, ' ', xTip - 8.0 * dx - 4.0 * dy, ',',
             yTip - 8.0 * dy + 4.0 * dx, ' ', xTip - 8.0 * dx + 4.0 * dy, ',', yTip - 8.0 * dy - 4.0 * dx, "\"/>\n");
    }
    // A heading mark: a small white triangle at (x, y) pointing toward dAngle.
    void HeadingMark(double x, double y, double dAngle, const char* pColour)
    {
        const double dx = std::cos(dAngle), dy = -std::sin(dAngle);
        Emit("<polygon fill=\"white\" stroke=\"", pColour, "\" stroke-width=\"1.2\" points=\"", x + 8.0 * dx, ',',
             y + 8.0 * dy, ' ', x - 4.0 * dx - 4.0 * dy, ',', y - 4.0 * dy + 4.0 * dx, ' ', x - 4.0 * dx + 4.0 * dy,
             ',', y - 4.0 * dy - 4.0 * dx, "\"/>\n");
    }
    const std::string& GetBody() const { return m_kBody; }

private:
    std::string m_kBody;
};

// The points of a polyline, rounded to a hundredth of a pixel. Repeated
// points are dropped and a horizontal run going one way keeps only its ends,
// so that steady stretches cost nothing.
class CPolyline
{
public:
    void Add(double x, double y)
    {
        x = std::round(x * 100.0) / 100.0;
        y = std::round(y * 100.0) / 100.0;
        const size_t uiCount = m_kPoints.size();
        if (uiCount >= 1 && m_kPoints[uiCount - 1].x == x && m_kPoints[uiCount - 1].y == y)
            return;
        if (uiCount >= 2 && m_kPoints[uiCount - 1].y == y && m_kPoints[uiCount - 2].y == y &&
            (x - m_kPoints[uiCount - 1].x) * (m_kPoints[uiCount - 1].x - m_kPoints[uiCount - 2].x) >= 0.0)
        {
            m_kPoints[uiCount - 1].x = x;
            return;
        }
        m_kPoints.push_back({x, y});
    }
    void Write(CSvg& kSvg, const std::string& kAttributes) const
    {
        if (m_kPoints.empty())
            return;
        kSvg.Emit("<polyline fill=\"none\" ", kAttributes, " points=\"");
        for (const SPoint& kPoint : m_kPoints)
            kSvg.Emit(kPoint.x, ',', kPoint.y, ' ');
        kSvg.Put("\"/>\n");
    }

private:
    struct SPoint
    {
        double x, y;
    };
    std::vector<SPoint> m_kPoints;
};

using CharacterSamples = std::vector<std::vector<const SSample*>>;

// ---------------------------------------------------------------------------
// Legends: a symbol 24 pixels wide, then its text.

enum class ESymbol
{
    None,  // a group heading, in bold
    Path,
    Start,
    End,
    HeadingMark,
    Request,
    Origin,
    Swatch,
};

struct SLegendItem
{
    ESymbol eSymbol;
    const char* pColour;
    std::string kText;
};

void DrawSymbol(CSvg& kSvg, ESymbol eSymbol, const char* pColour, double x, double y)
{
    const std::string kStroke = std::string("stroke=\"") + pColour + "\"";
    switch (eSymbol)
    {
        case ESymbol::None:
            break;
        case ESymbol::Path:
            kSvg.Line(x, y, x + 24.0, y, kStroke + " stroke-width=\"2.5\"");
            break;
        case ESymbol::Start:
            kSvg.Circle(x + 12.0, y, 5.0, "fill=\"white\" stroke=\"#333333\" stroke-width=\"2\"");
            break;
        case ESymbol::End:
            kSvg.Circle(x + 12.0, y, 5.0, "fill=\"#333333\"");
            break;
        case ESymbol::HeadingMark:
            kSvg.Line(x, y, x + 24.0, y, "stroke=\"#333333\" stroke-width=\"2.5\"");
            kSvg.HeadingMark(x + 12.0, y, 0.0, "#333333");
            break;
        case ESymbol::Request:
            kSvg.Arrow(x, y, 0.0, 24.0, "#333333");
            break;
        case ESymbol::Origin:
            kSvg.Line(x + 4.0, y, x + 20.0, y, "stroke=\"#777777\" stroke-width=\"1.5\"");
            kSvg.Line(x + 12.0, y - 7.0, x + 12.0, y + 7.0, "stroke=\"#777777\" stroke-width=\"1.5\"");
            break;
        case ESymbol::Swatch:
            kSvg.Rect(x + 3.0, y - 7.0, 18.0, 14.0, std::string("fill=\"") + pColour + "\" stroke=\"#666666\"");
            break;
    }
}

// Items one under the other from (x, y); returns the y below the last.
double DrawLegendColumn(CSvg& kSvg, const std::vector<SLegendItem>& kItems, double x, double y)
{
    for (const SLegendItem& kItem : kItems)
    {
        if (kItem.eSymbol == ESymbol::None)
        {
            y += 4.0;
            kSvg.Text(x, y + 4.0, kItem.kText, "font-weight=\"bold\"");
        }
        else
        {
            DrawSymbol(kSvg, kItem.eSymbol, kItem.pColour, x, y);
            kSvg.Text(x + 30.0, y + 4.0, kItem.kText);
        }
        y += kLegendRow;
    }
    return y;
}

// Items side by side from (x, y), wrapping at dRight; a group heading starts
// a new row. Returns the y below the last row.
double DrawLegendRows(CSvg& kSvg, const std::vector<SLegendItem>& kItems, double x, double y, double dRight)
{
    double dX = x;
    for (const SLegendItem& kItem : kItems)
    {
        const bool bHeading = kItem.eSymbol == ESymbol::None;
        const double dWidth = (bHeading ? 0.0 : 30.0) + TextWidth(kItem.kText) + 20.0;
        if ((bHeading && dX > x) || dX + dWidth > dRight)
        {
            dX = x;
            y += kLegendRow;
        }
        if (bHeading)
            kSvg.Text(dX, y + 4.0, kItem.kText, "font-weight=\"bold\"");
        else
        {
            DrawSymbol(kSvg, kItem.eSymbol, kItem.pColour, dX, y);
            kSvg.Text(dX + 30.0, y + 4.0, kItem.kText);
        }
        dX += dWidth;
    }
    return y + kLegendRow;
}

// ---------------------------------------------------------------------------
// Time panels share one time scale, from 0 to the scenario's duration.

struct STimeScale
{
    double dDuration;
    double ToX(double dTime) const { return kLeft + dTime / dDuration * kPanelWidth; }
    double GetStep() const { return NiceStep(dDuration, 16); }
};

// Vertical grid lines at the time ticks between dTop and dBottom, and their
// values under dBottom, with the axis name on the left.
void DrawTimeAxis(CSvg& kSvg, const STimeScale& kTime, double dTop, double dBottom, bool bGrid)
{
    for (const double dTick : Ticks(0.0, kTime.dDuration, kTime.GetStep()))
    {
        if (bGrid)
            kSvg.Line(kTime.ToX(dTick), dTop, kTime.ToX(dTick), dBottom, "stroke=\"#eeeeee\"");
        else
            kSvg.Line(kTime.ToX(dTick), dBottom, kTime.ToX(dTick), dBottom + 4.0, "stroke=\"#999999\"");
        kSvg.Text(kTime.ToX(dTick), dBottom + 16.0, TickLabel(dTick, kTime.GetStep()),
                  "class=\"tick-t\" text-anchor=\"middle\"");
    }
    kSvg.Text(kLeft - 10.0, dBottom + 16.0, "time (s)", "text-anchor=\"end\" fill=\"#444444\"");
}

// A value axis on the left of a panel: grid lines and labels at the ticks.
void DrawValueAxis(CSvg& kSvg, double dStep, double dMin, double dMax, double dTop, double dHeight, const char* pClass,
                   const std::string& kName, const char* pNameColour)
{
    for (const double dTick : Ticks(dMin, dMax, dStep))
    {
        const double y = dTop + dHeight * (dMax - dTick) / (dMax - dMin);
        kSvg.Line(kLeft, y, kLeft + kPanelWidth, y, dTick == 0.0 ? "stroke=\"#bbbbbb\"" : "stroke=\"#eeeeee\"");
        kSvg.Text(kLeft - 6.0, y, TickLabel(dTick, dStep),
                  std::string("class=\"") + pClass + "\" text-anchor=\"end\" dy=\"0.35em\" font-size=\"11\"");
    }
    const double dMiddle = dTop + dHeight / 2.0;
    kSvg.Text(30.0, dMiddle, kName,
              std::string("text-anchor=\"middle\" fill=\"") + pNameColour + "\" transform=\"rotate(-90 30 " +
                  Num(dMiddle) + ")\"");
}

std::string Plural(uint32 uiCount, const char* pWord)
{
    std::string kText = std::to_string(uiCount);
    kText += ' ';
    kText += pWord;
    if (uiCount != 1)
        kText += 's';
    return kText;
}

// "characters 0 to 3 of 10 shown; the CSV holds all" when not all are shown.
std::string ShownNote(uint32 uiShown, uint32 uiCount)
{
    std::string kText = "characters 0 to ";
    kText += std::to_string(uiShown - 1);
    kText += " of ";
    kText += std::to_string(uiCount);
    kText += " shown; the CSV holds all";
    return kText;
}

// ---------------------------------------------------------------------------
// The paths seen from above. Returns the y under the section.

double DrawTopView(CSvg& kSvg, const SRun& kRun, const CharacterSamples& kByCharacter, double dTop)
{
    // The extent: every position and the origin, half a metre around, at
    // least two metres each way, then out to whole grid steps.
    double dMinX = 0.0, dMaxX = 0.0, dMinY = 0.0, dMaxY = 0.0;
    for (const SSample& kSample : kRun.kSamples)
    {
        dMinX = std::min(dMinX, double(kSample.afPosition[0]));
        dMaxX = std::max(dMaxX, double(kSample.afPosition[0]));
        dMinY = std::min(dMinY, double(kSample.afPosition[1]));
        dMaxY = std::max(dMaxY, double(kSample.afPosition[1]));
    }
    auto Widen = [](double& dMin, double& dMax) {
        dMin -= 0.5;
        dMax += 0.5;
        if (dMax - dMin < 2.0)
        {
            const double dMiddle = (dMin + dMax) / 2.0;
            dMin = dMiddle - 1.0;
            dMax = dMiddle + 1.0;
        }
    };
    Widen(dMinX, dMaxX);
    Widen(dMinY, dMaxY);
    const double dStep = NiceStep(std::max(dMaxX - dMinX, dMaxY - dMinY), 16);
    dMinX = std::floor(dMinX / dStep) * dStep;
    dMaxX = std::ceil(dMaxX / dStep) * dStep;
    dMinY = std::floor(dMinY / dStep) * dStep;
    dMaxY = std::ceil(dMaxY / dStep) * dStep;
    const double dRangeX = dMaxX - dMinX, dRangeY = dMaxY - dMinY;

    // The legend goes beside the view unless that would shrink it much.
    const double dBesideScale =
        std::min({(kPanelWidth - kSideLegendWidth) / dRangeX, kTopViewMaxHeight / dRangeY, kTopViewMaxScale});
    const double dBelowScale = std::min({kPanelWidth / dRangeX, kTopViewMaxHeight / dRangeY, kTopViewMaxScale});
    const bool bBeside = dBelowScale <= dBesideScale * 1.2;
    const double dScale = bBeside ? dBesideScale : dBelowScale;
    const double dWidth = dRangeX * dScale, dHeight = dRangeY * dScale;
    const double dFrameTop = dTop + 14.0;
    auto ToX = [&](double x) { return kLeft + (x - dMinX) * dScale; };
    auto ToY = [&](double y) { return dFrameTop + (dMaxY - y) * dScale; };

    kSvg.Put("<g id=\"top-view\">\n");
    kSvg.Text(kLeft, dTop,
              "Paths seen from above, in metres (heading 0\xc2\xb0 points along +x; positive headings "
              "turn left)",
              "font-weight=\"bold\"");
    kSvg.Rect(kLeft, dFrameTop, dWidth, dHeight, "fill=\"none\" stroke=\"#cccccc\"");
    for (const double x : Ticks(dMinX, dMaxX, dStep))
    {
        kSvg.Line(ToX(x), dFrameTop, ToX(x), dFrameTop + dHeight,
                  x == 0.0 ? "stroke=\"#777777\" stroke-width=\"1.5\"" : "stroke=\"#eeeeee\"");
        kSvg.Text(ToX(x), dFrameTop + dHeight + 16.0, TickLabel(x, dStep), "class=\"tick-x\" text-anchor=\"middle\"");
    }
    for (const double y : Ticks(dMinY, dMaxY, dStep))
    {
        kSvg.Line(kLeft, ToY(y), kLeft + dWidth, ToY(y),
                  y == 0.0 ? "stroke=\"#777777\" stroke-width=\"1.5\"" : "stroke=\"#eeeeee\"");
        kSvg.Text(kLeft - 6.0, ToY(y), TickLabel(y, dStep), "class=\"tick-y\" text-anchor=\"end\" dy=\"0.35em\"");
    }
    kSvg.Text(kLeft + dWidth / 2.0, dFrameTop + dHeight + 34.0, "x (m)", "text-anchor=\"middle\"");
    const double dMiddleY = dFrameTop + dHeight / 2.0;
    kSvg.Text(40.0, dMiddleY, "y (m)",
              std::string("text-anchor=\"middle\" transform=\"rotate(-90 40 ") + Num(dMiddleY) + ")\"");

    for (uint32 c = 0; c < kRun.uiCharacters; ++c)
    {
        const std::vector<const SSample*>& kSamples = kByCharacter[c];
        if (kSamples.empty())
            continue;
        const char* pColour = CharacterColour(c);
        const std::string kStroke = std::string("stroke=\"") + pColour + "\"";
        CPolyline kPath;
        for (const SSample* pSample : kSamples)
            kPath.Add(ToX(pSample->afPosition[0]), ToY(pSample->afPosition[1]));
        kPath.Write(kSvg, kStroke + " stroke-width=\"2.5\" stroke-linejoin=\"round\"");

        // The heading every half second, and the requested rotation where it
        // changed (the component asks for heading 0 until told otherwise).
        // What is drawn near the start is kept, to find room for the number.
        const double xStart = ToX(kSamples.front()->afPosition[0]), yStart = ToY(kSamples.front()->afPosition[1]);
        std::vector<double> kNearStart;  // directions from the start, radians on the page
        double dNextMark = 0.0, dRequested = 0.0;
        for (const SSample* pSample : kSamples)
        {
            const double x = ToX(pSample->afPosition[0]), y = ToY(pSample->afPosition[1]);
            const double dDistance = std::hypot(x - xStart, y - yStart);
            if (dDistance > 4.0 && dDistance < 60.0)
                kNearStart.push_back(std::atan2(yStart - y, x - xStart));
            if (pSample->dTime + 1e-9 >= dNextMark)
            {
                kSvg.HeadingMark(x, y, pSample->dHeadingDeg * kPi / 180.0, pColour);
                if (dDistance <= 4.0)
                    kNearStart.push_back(pSample->dHeadingDeg * kPi / 180.0);
                dNextMark += 0.5;
            }
            if (std::fabs(pSample->dRequestedHeadingDeg - dRequested) > 0.01)
            {
                dRequested = pSample->dRequestedHeadingDeg;
                kSvg.Arrow(x, y, dRequested * kPi / 180.0, 40.0, pColour);
                if (dDistance <= 4.0)
                    kNearStart.push_back(dRequested * kPi / 180.0);
            }
        }
        const SSample& kLast = *kSamples.back();
        const std::string kId = std::to_string(c);
        kSvg.Circle(xStart, yStart, 5.0, Cat("id=\"start-", kId, "\" fill=\"white\" ", kStroke, " stroke-width=\"2\""));
        kSvg.Circle(ToX(kLast.afPosition[0]), ToY(kLast.afPosition[1]), 5.0,
                    Cat("id=\"end-", kId, "\" fill=\"", pColour, "\""));
        // The path's number beside its start, on the side least in the way:
        // left first, then right, below, above and the diagonals.
        double dBest = 0.0, dBestScore = 1e9;
        for (const double dCandidate : {180.0, 0.0, 270.0, 90.0, 225.0, 315.0, 135.0, 45.0})
        {
            double dScore = 0.0;
            for (const double dUsed : kNearStart)
                dScore += std::pow(std::max(0.0, std::cos(dCandidate * kPi / 180.0 - dUsed)), 2.0);
            if (dScore < dBestScore - 1e-6)
            {
                dBest = dCandidate * kPi / 180.0;
                dBestScore = dScore;
            }
        }
        kSvg.Text(xStart + 14.0 * std::cos(dBest), yStart - 14.0 * std::sin(dBest), kId,
                  std::string("text-anchor=\"middle\" dy=\"0.35em\" font-weight=\"bold\" fill=\"") + pColour + "\"");
    }
    kSvg.Put("</g>\n");

    // The legend: characters, then the marks.
    std::vector<SLegendItem> kItems;
    kItems.push_back({ESymbol::None, "", "Characters"});
    const uint32 uiListed = std::min(kRun.uiCharacters, kCharacterColourCount);
    for (uint32 c = 0; c < uiListed; ++c)
    {
        SLegendItem kItem{ESymbol::Path, CharacterColour(c), Cat("character ", std::to_string(c))};
        if (!kByCharacter[c].empty())
        {
            const SSample& kFirst = *kByCharacter[c].front();
            kItem.kText += Cat(" (from ", Num(kFirst.afPosition[0]), ", ", Num(kFirst.afPosition[1]), ")");
        }
        kItems.push_back(kItem);
    }
    if (uiListed < kRun.uiCharacters)
        kItems.push_back({ESymbol::Path, CharacterColour(uiListed),
                          Cat("... ", std::to_string(kRun.uiCharacters), " in all, colours repeat")});
    kItems.push_back({ESymbol::None, "", "Marks"});
    kItems.push_back({ESymbol::Start, "", "start (path number beside it)"});
    kItems.push_back({ESymbol::End, "", "end"});
    kItems.push_back({ESymbol::HeadingMark, "", "heading, every 0.5 s"});
    kItems.push_back({ESymbol::Request, "", "requested rotation, where asked"});
    kItems.push_back({ESymbol::Origin, "", "x = 0 and y = 0 (origin)"});
    kSvg.Put("<g id=\"character-legend\">\n");
    double dBottom = dFrameTop + dHeight + 40.0;
    if (bBeside)
        dBottom = std::max(dBottom, DrawLegendColumn(kSvg, kItems, kLeft + dWidth + 40.0, dFrameTop + 6.0));
    else
        dBottom = DrawLegendRows(kSvg, kItems, kLeft, dBottom + 14.0, kLeft + kPanelWidth);
    kSvg.Put("</g>\n");
    return dBottom;
}

// ---------------------------------------------------------------------------
// The heading over time: the character's, and the requested rotation.

double DrawHeadings(CSvg& kSvg, const STimeScale& kTime, uint32 uiCharacters, const CharacterSamples& kByCharacter,
                    double dTop)
{
    const uint32 uiShown = std::min(uiCharacters, kMaxHeadingCharacters);
    // Headings come in -180 to 180 degrees; the lines are unwrapped, and each
    // requested rotation is drawn as the turn nearest to where the character
    // got by the time the next one came.
    std::vector<std::vector<double>> kActual(uiShown), kRequested(uiShown);
    double dMin = 0.0, dMax = 0.0;
    for (uint32 c = 0; c < uiShown; ++c)
    {
        const std::vector<const SSample*>& kSamples = kByCharacter[c];
        for (size_t i = 0; i < kSamples.size(); ++i)
        {
            double dHeading = kSamples[i]->dHeadingDeg;
            if (i > 0)
                dHeading += 360.0 * std::round((kActual[c].back() - dHeading) / 360.0);
            kActual[c].push_back(dHeading);
        }
        kRequested[c].resize(kSamples.size());
        for (size_t i = 0; i < kSamples.size();)
        {
            size_t uiEnd = i;
            while (uiEnd + 1 < kSamples.size() &&
                   kSamples[uiEnd + 1]->dRequestedHeadingDeg == kSamples[i]->dRequestedHeadingDeg)
                ++uiEnd;
            const double dRequested = kSamples[i]->dRequestedHeadingDeg;
            const double dNearest = dRequested + 360.0 * std::round((kActual[c][uiEnd] - dRequested) / 360.0);
            std::fill(kRequested[c].begin() + i, kRequested[c].begin() + uiEnd + 1, dNearest);
            i = uiEnd + 1;
        }
        for (size_t i = 0; i < kSamples.size(); ++i)
        {
            dMin = std::min({dMin, kActual[c][i], kRequested[c][i]});
            dMax = std::max({dMax, kActual[c][i], kRequested[c][i]});
        }
    }
    const double dStep = dMax - dMin <= 360.0 ? 45.0 : dMax - dMin <= 720.0 ? 90.0 : NiceStep(dMax - dMin, 8);
    // A quarter step of room, so that no line runs along the frame.
    dMin = std::min(std::floor((dMin - dStep / 4.0) / dStep) * dStep, -dStep);
    dMax = std::max(std::ceil((dMax + dStep / 4.0) / dStep) * dStep, dStep);
    auto ToY = [&](double dDegrees) { return dTop + 14.0 + kHeadingsHeight * (dMax - dDegrees) / (dMax - dMin); };

    kSvg.Put("<g id=\"headings\">\n");
    std::string kTitle = "Heading over time, in degrees: solid the character's heading, dashed the requested rotation";
    if (uiShown < uiCharacters)
        kTitle += Cat(" (", ShownNote(uiShown, uiCharacters), ")");
    kSvg.Text(kLeft, dTop, kTitle, "font-weight=\"bold\"");
    DrawTimeAxis(kSvg, kTime, dTop + 14.0, dTop + 14.0 + kHeadingsHeight, true);
    DrawValueAxis(kSvg, dStep, dMin, dMax, dTop + 14.0, kHeadingsHeight, "tick-h", "heading (\xc2\xb0)", "#000000");
    kSvg.Rect(kLeft, dTop + 14.0, kPanelWidth, kHeadingsHeight, "fill=\"none\" stroke=\"#cccccc\"");
    for (uint32 c = 0; c < uiShown; ++c)
    {
        CPolyline kActualLine, kRequestedLine;
        for (size_t i = 0; i < kByCharacter[c].size(); ++i)
        {
            const double x = kTime.ToX(kByCharacter[c][i]->dTime);
            // The request holds from the start of the step it was made in.
            if (i == 0 || kRequested[c][i] != kRequested[c][i - 1])
                kRequestedLine.Add(i == 0 ? kLeft : kTime.ToX(kByCharacter[c][i - 1]->dTime), ToY(kRequested[c][i]));
            kRequestedLine.Add(x, ToY(kRequested[c][i]));
            kActualLine.Add(x, ToY(kActual[c][i]));
        }
        const std::string kStroke = std::string("stroke=\"") + CharacterColour(c) + "\"";
        kRequestedLine.Write(kSvg, kStroke + " stroke-width=\"1.5\" stroke-dasharray=\"6 4\"");
        kActualLine.Write(kSvg, kStroke + " stroke-width=\"2\"");
    }
    kSvg.Put("</g>\n");
    return dTop + 14.0 + kHeadingsHeight + 20.0;
}

// ---------------------------------------------------------------------------
// The movement each character plays over time, and the movement legend.

double DrawMovements(CSvg& kSvg, const STimeScale& kTime, uint32 uiCharacters, const CharacterSamples& kByCharacter,
                     const bool (&abUsed)[NB_TYPE], double dTop)
{
    const uint32 uiShown = std::min(uiCharacters, kMaxLanes);
    kSvg.Put("<g id=\"movements\">\n");
    std::string kTitle = "Movement played over time (the Gait actor's current movement)";
    if (uiShown < uiCharacters)
        kTitle += Cat(" (", ShownNote(uiShown, uiCharacters), ")");
    kSvg.Text(kLeft, dTop, kTitle, "font-weight=\"bold\"");
    const double dLanesTop = dTop + 12.0;
    for (uint32 c = 0; c < uiShown; ++c)
    {
        const double dLaneTop = dLanesTop + c * (kLaneHeight + kLaneGap);
        kSvg.Text(kLeft - 8.0, dLaneTop + kLaneHeight / 2.0, Cat("character ", std::to_string(c)),
                  std::string("text-anchor=\"end\" dy=\"0.35em\" font-weight=\"bold\" fill=\"") + CharacterColour(c) +
                      "\"");
        // Each sample's movement holds from the start of its step.
        const std::vector<const SSample*>& kSamples = kByCharacter[c];
        for (size_t i = 0; i < kSamples.size();)
        {
            size_t uiEnd = i;
            while (uiEnd + 1 < kSamples.size() && kSamples[uiEnd + 1]->uiMovement == kSamples[i]->uiMovement)
                ++uiEnd;
            const uint32 uiMovement = kSamples[i]->uiMovement;
            const double x0 = i == 0 ? kLeft : kTime.ToX(kSamples[i - 1]->dTime);
            const double x1 = kTime.ToX(kSamples[uiEnd]->dTime);
            i = uiEnd + 1;
            if (uiMovement >= NB_TYPE)
                continue;
            const char* pName = g_apAnimMovementNames[uiMovement];
            const char* pFill = kMovementColours[uiMovement];
            kSvg.Emit("<rect x=\"", x0, "\" y=\"", dLaneTop, "\" width=\"", x1 - x0, "\" height=\"", kLaneHeight,
                      "\" fill=\"", pFill, "\"><title>", pName, "</title></rect>\n");
            // The name inside the bar when it fits, smaller if need be.
            for (const double dFontSize : {11.0, 9.0})
                if (TextWidth(pName, dFontSize) + 6.0 <= x1 - x0)
                {
                    kSvg.Text((x0 + x1) / 2.0, dLaneTop + kLaneHeight / 2.0, pName,
                              Cat("text-anchor=\"middle\" dy=\"0.35em\" font-size=\"", Num(dFontSize), "\" fill=\"",
                                  IsDark(pFill) ? "white" : "black", "\""));
                    break;
                }
        }
    }
    const double dLanesBottom = dLanesTop + uiShown * (kLaneHeight + kLaneGap) - kLaneGap;
    DrawTimeAxis(kSvg, kTime, dLanesTop, dLanesBottom, false);
    kSvg.Put("</g>\n");

    std::vector<SLegendItem> kItems;
    kItems.push_back({ESymbol::None, "", "Movements (timeline fills and weight lines)"});
    for (uint32 m = 0; m < NB_TYPE; ++m)
        if (abUsed[m])
            kItems.push_back({ESymbol::Swatch, kMovementColours[m], g_apAnimMovementNames[m]});
    kSvg.Put("<g id=\"movement-legend\">\n");
    const double dBottom = DrawLegendRows(kSvg, kItems, kLeft, dLanesBottom + 40.0, kLeft + kPanelWidth);
    kSvg.Put("</g>\n");
    return dBottom;
}

// ---------------------------------------------------------------------------
// Control weights over time, a panel per character.

// What a call did, in a few words, for the marks on the weight panels.
std::string CallLabel(const SScenarioCall& kCall)
{
    switch (kCall.eKind)
    {
        case SScenarioCall::EKind::Activate:
            return kCall.bActive ? "activate" : "deactivate";
        case SScenarioCall::EKind::SetSpeed:
            return Cat("speed ", Num(kCall.fSpeed));
        case SScenarioCall::EKind::SetRotation:
            return Cat("rotation ", Num(kCall.dHeadingDeg), "\xc2\xb0");
        case SScenarioCall::EKind::Reset:
            return "reset";
        case SScenarioCall::EKind::ReloadFromJson:
            return "reload";
    }
    return "?";
}

double DrawWeights(CSvg& kSvg, const STimeScale& kTime, const SScenario& kScenario, const SRun& kRun,
                   const CharacterSamples& kByCharacter, double dTop)
{
    const uint32 uiShown = std::min(kRun.uiCharacters, kMaxWeightPanels);
    double dMax = 1.0;
    for (uint32 c = 0; c < uiShown; ++c)
        for (const SSample* pSample : kByCharacter[c])
            for (const float fWeight : pSample->afWeights)
                dMax = std::max(dMax, double(fWeight));
    const double dStep = dMax <= 2.0 ? 0.25 : dMax <= 5.0 ? 0.5 : NiceStep(dMax, 8);
    dMax = std::ceil(dMax / dStep - 1e-6) * dStep;

    kSvg.Text(kLeft, dTop, "Effective control weights over time (weight \xc3\x97 fade)", "font-weight=\"bold\"");
    const std::string kNote = Cat("The walk's weight follows its requested speed (weight = speed \xc3\x97 ",
                                  Num(GaitPlugin::GaitActor::kWalkSpeedFactor),
                                  "), so it may exceed 1; the other movements fade between 0 and 1.");
    kSvg.Text(kLeft, dTop + 16.0, kNote, "id=\"note-walk\" fill=\"#444444\"");
    double y = dTop + 16.0;
    if (uiShown < kRun.uiCharacters)
    {
        y += 16.0;
        const std::string kText = Cat("Weights of characters 0 to ", std::to_string(uiShown - 1), " of ",
                                      std::to_string(kRun.uiCharacters), " shown; the CSV holds the weights of all.");
        kSvg.Text(kLeft, y, kText, "id=\"note-weights\" fill=\"#444444\"");
    }
    y += 8.0;

    for (uint32 c = 0; c < uiShown; ++c)
    {
        kSvg.Emit("<g id=\"weights-", c, "\">\n");
        // The calls made on this character, one label per step, in rows
        // above the panel so that they stay clear of the lines.
        std::vector<std::pair<double, std::string>> kMarks;
        for (const SMadeCall& kMade : kRun.kCalls)
        {
            if (kMade.uiCharacter != c || kMade.uiCall >= kScenario.kCalls.size())
                continue;
            const std::string kLabel = CallLabel(kScenario.kCalls[kMade.uiCall]);
            if (!kMarks.empty() && kMarks.back().first == kMade.dTime)
                kMarks.back().second += Cat(", ", kLabel);
            else
                kMarks.emplace_back(kMade.dTime, kLabel);
        }
        double adRowEnd[kCallLabelRows];
        std::fill(std::begin(adRowEnd), std::end(adRowEnd), -1e9);
        uint32 uiRows = 0;
        std::vector<uint32> kRowOf(kMarks.size(), kCallLabelRows);
        for (size_t i = 0; i < kMarks.size(); ++i)
        {
            const double x = kTime.ToX(kMarks[i].first) + 3.0;
            for (uint32 r = 0; r < kCallLabelRows; ++r)
                if (adRowEnd[r] < x)
                {
                    kRowOf[i] = r;
                    adRowEnd[r] = x + TextWidth(kMarks[i].second, 10.0) + 6.0;
                    uiRows = std::max(uiRows, r + 1);
                    break;
                }
        }
        const double dPanelTop = y + 10.0 + uiRows * kCallLabelRow;
        const double dPanelBottom = dPanelTop + kWeightsHeight;
        auto ToY = [&](double dWeight) { return dPanelTop + kWeightsHeight * (dMax - dWeight) / dMax; };

        DrawTimeAxis(kSvg, kTime, dPanelTop, dPanelBottom, true);
        DrawValueAxis(kSvg, dStep, 0.0, dMax, dPanelTop, kWeightsHeight, "tick-w", Cat("character ", std::to_string(c)),
                      CharacterColour(c));
        kSvg.Line(kLeft, ToY(1.0), kLeft + kPanelWidth, ToY(1.0), "stroke=\"#999999\" stroke-dasharray=\"2 2\"");
        kSvg.Rect(kLeft, dPanelTop, kPanelWidth, kWeightsHeight, "fill=\"none\" stroke=\"#cccccc\"");
        for (size_t i = 0; i < kMarks.size(); ++i)
        {
            const double x = kTime.ToX(kMarks[i].first);
            const double dLabelY = dPanelTop - 4.0 - (uiRows - 1 - std::min(kRowOf[i], uiRows - 1)) * kCallLabelRow;
            kSvg.Emit("<line x1=\"", x, "\" y1=\"", kRowOf[i] < kCallLabelRows ? dLabelY - 9.0 : dPanelTop, "\" x2=\"",
                      x, "\" y2=\"", dPanelBottom, "\" stroke=\"#888888\" stroke-dasharray=\"1 2\"><title>",
                      Escape(kMarks[i].second), "</title></line>\n");
            if (kRowOf[i] < kCallLabelRows)
                kSvg.Text(x + 3.0, dLabelY, kMarks[i].second, "font-size=\"10\" fill=\"#444444\"");
        }
        for (uint32 m = 0; m < NB_TYPE; ++m)
        {
            const bool bUsed = std::any_of(kByCharacter[c].begin(), kByCharacter[c].end(),
                                           [m](const SSample* pSample) { return pSample->afWeights[m] > 0.001f; });
            if (!bUsed)
                continue;
            CPolyline kLine;
            kLine.Add(kLeft, ToY(0.0));
            for (const SSample* pSample : kByCharacter[c])
                kLine.Add(kTime.ToX(pSample->dTime), ToY(pSample->afWeights[m]));
            kLine.Write(kSvg, std::string("stroke=\"") + kMovementColours[m] + "\" stroke-width=\"2\"");
        }
        kSvg.Put("</g>\n");
        y = dPanelBottom + 24.0;
    }
    return y;
}

bool Finish(std::ofstream& kFile, const std::string& kPath, std::string& kError)
{
    kFile.flush();
    if (kFile)
        return true;
    kError = kPath + ": cannot be written";
    return false;
}

}  // namespace

bool WriteCsv(const SRun& kRun, const std::string& kPath, std::string& kError)
{
    std::ofstream kFile(kPath);
    if (!kFile)
    {
        kError = kPath + ": cannot be written";
        return false;
    }
    kFile << "time,character,x,y,z,heading_deg,requested_heading_deg,requested_speed,movement";
    for (uint32 m = 0; m < NB_TYPE; ++m)
        kFile << ",w_" << g_apAnimMovementNames[m];
    kFile << ",events\n";
    char acLine[256];
    for (const SSample& kSample : kRun.kSamples)
    {
        snprintf(acLine, sizeof(acLine), "%.3f,%u,%.4f,%.4f,%.4f,%.2f,%.2f,%.3f,%s", kSample.dTime, kSample.uiCharacter,
                 kSample.afPosition[0], kSample.afPosition[1], kSample.afPosition[2], kSample.dHeadingDeg,
                 kSample.dRequestedHeadingDeg, kSample.fRequestedSpeed,
                 kSample.uiMovement < NB_TYPE ? g_apAnimMovementNames[kSample.uiMovement] : "None");
        kFile << acLine;
        for (uint32 m = 0; m < NB_TYPE; ++m)
        {
            snprintf(acLine, sizeof(acLine), ",%.3f", kSample.afWeights[m]);
            kFile << acLine;
        }
        // Events hold names and numbers only: no quoting needed.
        kFile << ',' << kSample.kEvents << '\n';
    }
    return Finish(kFile, kPath, kError);
}

bool WriteSvg(const SScenario& kScenario, const SRun& kRun, const std::string& kPath, std::string& kError)
{
    CharacterSamples kByCharacter(kRun.uiCharacters);
    bool abUsed[NB_TYPE] = {};
    for (const SSample& kSample : kRun.kSamples)
    {
        if (kSample.uiCharacter >= kRun.uiCharacters)
            continue;
        kByCharacter[kSample.uiCharacter].push_back(&kSample);
        if (kSample.uiMovement < NB_TYPE)
            abUsed[kSample.uiMovement] = true;
        for (uint32 m = 0; m < NB_TYPE; ++m)
            abUsed[m] = abUsed[m] || kSample.afWeights[m] > 0.001f;
    }
    const STimeScale kTime{kRun.dDuration > 0.0 ? kRun.dDuration : 1.0};

    CSvg kSvg;
    const std::string kTitle = Cat("gait-sim: ", kScenario.kName);
    kSvg.Text(kLeft, 28.0, kTitle, "font-size=\"18\" font-weight=\"bold\"");
    const std::string kDetails =
        Cat(Plural(kRun.uiCharacters, "character"), ", ", Num(kRun.dDuration), " s in ",
            std::to_string(kScenario.uiStepMs), " ms steps, seed ", std::to_string(kScenario.uiSeed));
    kSvg.Text(kLeft + TextWidth(kTitle, 18.0) + 16.0, 28.0, kDetails, "fill=\"#444444\"");
    double y = 28.0 + kSectionGap + 4.0;
    y = DrawTopView(kSvg, kRun, kByCharacter, y) + kSectionGap;
    y = DrawHeadings(kSvg, kTime, kRun.uiCharacters, kByCharacter, y) + kSectionGap;
    y = DrawMovements(kSvg, kTime, kRun.uiCharacters, kByCharacter, abUsed, y) + kSectionGap;
    y = DrawWeights(kSvg, kTime, kScenario, kRun, kByCharacter, y);
    const double dHeight = std::ceil(y);

    std::ofstream kFile(kPath);
    if (!kFile)
    {
        kError = kPath + ": cannot be written";
        return false;
    }
    kFile << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
          << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << Num(kPageWidth) << "\" height=\"" << Num(dHeight)
          << "\" viewBox=\"0 0 " << Num(kPageWidth) << ' ' << Num(dHeight)
          << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
          << "<title>" << Escape(kTitle) << "</title>\n"
          << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
          << kSvg.GetBody() << "</svg>\n";
    return Finish(kFile, kPath, kError);
}

}  // namespace GaitSim
