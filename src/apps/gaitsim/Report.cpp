#include "Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace GaitSim {

namespace {

using GaitPlugin::EAnimMovement::NB_TYPE;

constexpr double kPi = 3.14159265358979323846;

// One colour per movement, in movement order.
constexpr const char* kColours[NB_TYPE] = {"#7f7f7f", "#bcbd22", "#1f77b4", "#2ca02c", "#d62728", "#9467bd", "#8c564b",
                                           "#e377c2", "#17becf", "#aec7e8", "#ffbb78", "#98df8a", "#ff9896"};
constexpr const char* kCharacterColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b"};

const char* CharacterColour(uint32 uiCharacter)
{
    return kCharacterColours[uiCharacter % (sizeof(kCharacterColours) / sizeof(kCharacterColours[0]))];
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
    kFile << "time,character,x,y,z,heading_deg,movement";
    for (uint32 m = 0; m < NB_TYPE; ++m)
        kFile << ",w_" << GaitPlugin::g_apAnimMovementNames[m];
    kFile << ",events\n";
    char acLine[256];
    for (const SSample& kSample : kRun.kSamples)
    {
        snprintf(acLine, sizeof(acLine), "%.3f,%u,%.4f,%.4f,%.4f,%.2f,%s", kSample.dTime, kSample.uiCharacter,
                 kSample.afPosition[0], kSample.afPosition[1], kSample.afPosition[2], kSample.dHeadingDeg,
                 kSample.uiMovement < NB_TYPE ? GaitPlugin::g_apAnimMovementNames[kSample.uiMovement] : "None");
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
    constexpr double kWidth = 1000.0, kMargin = 50.0;
    constexpr double kTopHeight = 420.0, kLaneHeight = 26.0, kWeightsHeight = 260.0;
    const double dTimelineTop = 40.0 + kTopHeight + 50.0;
    const double dWeightsTop = dTimelineTop + kLaneHeight * kRun.uiCharacters + 80.0;
    const double dHeight = dWeightsTop + kWeightsHeight + 90.0;
    const double dPlotWidth = kWidth - 2 * kMargin;
    const double dDuration = kRun.dDuration > 0.0 ? kRun.dDuration : 1.0;

    std::ofstream kFile(kPath);
    if (!kFile)
    {
        kError = kPath + ": cannot be written";
        return false;
    }
    std::ostringstream kOut;
    kOut.setf(std::ios::fixed);
    kOut.precision(2);
    kOut << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << dHeight
         << "\" viewBox=\"0 0 " << kWidth << ' ' << dHeight << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
         << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
         << "<text x=\"" << kMargin << "\" y=\"24\" font-size=\"16\">gait-sim: " << kScenario.kName << " ("
         << kRun.uiCharacters << " character" << (kRun.uiCharacters == 1 ? "" : "s") << ", " << kRun.dDuration
         << " s, " << kScenario.uiStepMs << " ms steps)</text>\n";

    // Top view: X forward to the right, Y to the top, equal scales.
    double dMinX = -1.0, dMaxX = 1.0, dMinY = -1.0, dMaxY = 1.0;
    for (const SSample& kSample : kRun.kSamples)
    {
        dMinX = std::min(dMinX, double(kSample.afPosition[0]) - 1.0);
        dMaxX = std::max(dMaxX, double(kSample.afPosition[0]) + 1.0);
        dMinY = std::min(dMinY, double(kSample.afPosition[1]) - 1.0);
        dMaxY = std::max(dMaxY, double(kSample.afPosition[1]) + 1.0);
    }
    const double dScale = std::min(dPlotWidth / (dMaxX - dMinX), kTopHeight / (dMaxY - dMinY));
    const double dTop = 40.0;
    auto ToX = [&](double x) { return kMargin + (x - dMinX) * dScale; };
    auto ToY = [&](double y) { return dTop + kTopHeight - (y - dMinY) * dScale; };
    kOut << "<text x=\"" << kMargin << "\" y=\"" << dTop - 4 << "\">Top view (m): path, heading every 0.5 s, "
         << "requested directions dashed; grid 1 m</text>\n"
         << "<g stroke=\"#eeeeee\">\n";
    for (double x = std::ceil(dMinX); x <= dMaxX; x += 1.0)
        kOut << "<line x1=\"" << ToX(x) << "\" y1=\"" << ToY(dMinY) << "\" x2=\"" << ToX(x) << "\" y2=\""
             << ToY(dMaxY) << "\"/>\n";
    for (double y = std::ceil(dMinY); y <= dMaxY; y += 1.0)
        kOut << "<line x1=\"" << ToX(dMinX) << "\" y1=\"" << ToY(y) << "\" x2=\"" << ToX(dMaxX) << "\" y2=\""
             << ToY(y) << "\"/>\n";
    kOut << "</g>\n";
    for (uint32 c = 0; c < kRun.uiCharacters; ++c)
    {
        kOut << "<polyline fill=\"none\" stroke=\"" << CharacterColour(c) << "\" stroke-width=\"2\" points=\"";
        double dNextMark = 0.0;
        std::ostringstream kMarks;
        kMarks.setf(std::ios::fixed);
        kMarks.precision(2);
        for (const SSample& kSample : kRun.kSamples)
        {
            if (kSample.uiCharacter != c)
                continue;
            const double x = ToX(kSample.afPosition[0]), y = ToY(kSample.afPosition[1]);
            kOut << x << ',' << y << ' ';
            if (kSample.dTime + 1e-9 >= dNextMark)
            {
                const double dRad = kSample.dHeadingDeg * kPi / 180.0;
                kMarks << "<line x1=\"" << x << "\" y1=\"" << y << "\" x2=\"" << x + 12.0 * std::cos(dRad)
                       << "\" y2=\"" << y - 12.0 * std::sin(dRad) << "\"/>\n";
                dNextMark += 0.5;
            }
            if (kSample.kEvents.find("call:SetRotation") != std::string::npos)
            {
                // The requested heading, from where the character stood.
                const size_t uiOpen = kSample.kEvents.find("call:SetRotation(");
                const double dTarget = std::atof(kSample.kEvents.c_str() + uiOpen + 17) * kPi / 180.0;
                kMarks << "<line stroke-dasharray=\"4 3\" stroke=\"#ff7f0e\" x1=\"" << x << "\" y1=\"" << y
                       << "\" x2=\"" << x + 40.0 * std::cos(dTarget) << "\" y2=\"" << y - 40.0 * std::sin(dTarget)
                       << "\"/>\n";
            }
        }
        kOut << "\"/>\n<g stroke=\"" << CharacterColour(c) << "\" stroke-width=\"1\">\n" << kMarks.str() << "</g>\n";
    }

    // Timeline of the current movement, one lane per character.
    auto ToTime = [&](double t) { return kMargin + t / dDuration * dPlotWidth; };
    kOut << "<text x=\"" << kMargin << "\" y=\"" << dTimelineTop - 8 << "\">Current movement over time</text>\n";
    for (uint32 c = 0; c < kRun.uiCharacters; ++c)
    {
        const double dLaneTop = dTimelineTop + c * kLaneHeight;
        double dStart = 0.0;
        uint32 uiMovement = NB_TYPE + 1;
        auto Close = [&](double dEnd) {
            if (uiMovement < NB_TYPE && dEnd > dStart)
                kOut << "<rect x=\"" << ToTime(dStart) << "\" y=\"" << dLaneTop << "\" width=\""
                     << ToTime(dEnd) - ToTime(dStart) << "\" height=\"" << kLaneHeight - 4 << "\" fill=\""
                     << kColours[uiMovement] << "\"><title>" << GaitPlugin::g_apAnimMovementNames[uiMovement]
                     << "</title></rect>\n";
        };
        double dPrevious = 0.0;
        for (const SSample& kSample : kRun.kSamples)
        {
            if (kSample.uiCharacter != c)
                continue;
            if (kSample.uiMovement != uiMovement)
            {
                Close(dPrevious);
                uiMovement = kSample.uiMovement;
                dStart = dPrevious;
            }
            dPrevious = kSample.dTime;
        }
        Close(dPrevious);
    }

    // Control weights of the first character.
    kOut << "<text x=\"" << kMargin << "\" y=\"" << dWeightsTop - 8
         << "\">Effective control weights of character 0 (0 to 1)</text>\n"
         << "<rect x=\"" << kMargin << "\" y=\"" << dWeightsTop << "\" width=\"" << dPlotWidth << "\" height=\""
         << kWeightsHeight << "\" fill=\"none\" stroke=\"#cccccc\"/>\n";
    bool abUsed[NB_TYPE] = {};
    for (const SSample& kSample : kRun.kSamples)
        for (uint32 m = 0; m < NB_TYPE; ++m)
            abUsed[m] = abUsed[m] || kSample.afWeights[m] > 0.001f;
    for (uint32 m = 0; m < NB_TYPE; ++m)
    {
        if (!abUsed[m])
            continue;
        kOut << "<polyline fill=\"none\" stroke=\"" << kColours[m] << "\" stroke-width=\"1.5\" points=\"";
        for (const SSample& kSample : kRun.kSamples)
            if (kSample.uiCharacter == 0)
                kOut << ToTime(kSample.dTime) << ','
                     << dWeightsTop + kWeightsHeight * (1.0 - std::clamp(double(kSample.afWeights[m]), 0.0, 1.0))
                     << ' ';
        kOut << "\"/>\n";
    }
    // Time axis and legend.
    const double dAxis = dWeightsTop + kWeightsHeight + 16.0;
    for (double t = 0.0; t <= dDuration + 1e-9; t += dDuration > 20.0 ? 5.0 : 1.0)
        kOut << "<text x=\"" << ToTime(t) << "\" y=\"" << dAxis << "\" text-anchor=\"middle\">" << t << " s</text>\n";
    double dLegendX = kMargin;
    const double dLegendY = dAxis + 30.0;
    for (uint32 m = 0; m < NB_TYPE; ++m)
    {
        if (!abUsed[m])
            continue;
        kOut << "<rect x=\"" << dLegendX << "\" y=\"" << dLegendY - 10 << "\" width=\"12\" height=\"12\" fill=\""
             << kColours[m] << "\"/><text x=\"" << dLegendX + 16 << "\" y=\"" << dLegendY << "\">"
             << GaitPlugin::g_apAnimMovementNames[m] << "</text>\n";
        dLegendX += 30.0 + 7.0 * std::string(GaitPlugin::g_apAnimMovementNames[m]).size();
    }
    kOut << "</svg>\n";
    kFile << kOut.str();
    return Finish(kFile, kPath, kError);
}

}  // namespace GaitSim
