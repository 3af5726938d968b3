// Pieces of the main window and the status page that need no running engine, and the choice of
// crash-report filter.
#include <gtest/gtest.h>
#include "launch/ivl/ivlwindow.h"
#include "launch/ivl/selfdebugmodes.h"
#include "testhelpers.h"
#include <stdlib.h>
#include <string>
#include <vector>

namespace
{
// A graph with fewer than two samples has no line; the last sample is never drawn.
TEST(StatusPage, GraphPoints)
{
    struct Case
    {
        std::vector<float> m_Samples;
        int m_nCount;  // count given (may be outside the sample array's size)
        std::vector<POINT> m_Expected;
    };
    const std::vector<float> three = {0.0f, 0.5f, 2.0f};
    const Case cases[] = {
        {{}, 0, {}},
        {{0.5f}, 1, {}},
        {{}, -5, {}},
        {three, 3, {{253 + 4, 150}, {253 - 1 + 4, 125}}},
        {{-1.0f, 1.5f, 0.0f}, 3, {{253 + 4, 150}, {253 - 1 + 4, 100}}},  // values clamped to 0..1
    };
    for (const Case& c : cases) {
        POINT aPoints[256];
        float aSamples[256] = {};
        for (size_t i = 0; i < c.m_Samples.size(); ++i)
            aSamples[i] = c.m_Samples[i];
        int n = GraphPoints(aSamples, c.m_nCount, 253, 200, aPoints);
        ASSERT_EQ(static_cast<int>(c.m_Expected.size()), n) << "count " << c.m_nCount;
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(c.m_Expected[i].x, aPoints[i].x) << "count " << c.m_nCount << " point " << i;
            EXPECT_EQ(c.m_Expected[i].y, aPoints[i].y) << "count " << c.m_nCount << " point " << i;
        }
    }
    // An engine that reports more samples than the record holds gets at most 255 points.
    static float s_aMany[256];
    static POINT s_aPoints[256];
    EXPECT_EQ(255, GraphPoints(s_aMany, 100000, 400, 300, s_aPoints));
}

TEST(StatusPage, SceneName)
{
    const std::pair<const char*, const char*> cases[] = {
        {"scenes\\arena.xml", "arena"}, {"arena.xml", "arena"},
        {"data\\v1.2\\arena", "arena"},  // a dot in a folder name is no extension
        {"data\\maps\\", ""},           {"", ""},
        {"a\\b.c.xml", "b.c"},
    };
    for (const auto& c : cases) {
        char szOut[64];
        StatusSceneName(c.first, szOut, sizeof(szOut));
        EXPECT_STREQ(c.second, szOut) << c.first;
    }
    std::string sLong(100, 'x');
    char szOut[64];
    StatusSceneName(("dir\\" + sLong).c_str(), szOut, sizeof(szOut));
    EXPECT_EQ(std::string(59, 'x'), szOut);  // the path is cut to 63 characters first
}

LRESULT CALLBACK PlainProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hWnd, nMessage, wParam, lParam);
}

TEST(MainWindow, ClassNameSkipsNamesInUse)
{
    HINSTANCE hInstance = GetModuleHandleW(NULL);
    wchar_t szName[16];
    ASSERT_TRUE(FindFreeClassName(szName, hInstance));
    EXPECT_STREQ(L"IvLWindow000", szName);
    std::vector<std::wstring> registered;
    for (int i = 0; i < 2; ++i) {
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = PlainProc;
        wc.hInstance = hInstance;
        wc.lpszClassName = szName;
        ASSERT_NE(0, RegisterClassExW(&wc));
        registered.push_back(szName);
        ASSERT_TRUE(FindFreeClassName(szName, hInstance));
    }
    EXPECT_STREQ(L"IvLWindow002", szName);
    for (const std::wstring& name : registered)
        UnregisterClassW(name.c_str(), hInstance);
}

TEST(CrashModes, FilterOfEachMode)
{
    LPTOP_LEVEL_EXCEPTION_FILTER pfnBefore = SetUnhandledExceptionFilter(nullptr);
    std::vector<LPTOP_LEVEL_EXCEPTION_FILTER> filters;
    for (int nMode = 1; nMode <= 5; ++nMode) {
        SetCrashReportMode(nMode);
        ASSERT_NE(nullptr, GetCrashReportFilter()) << nMode;
        EXPECT_EQ(GetCrashReportFilter(), SetUnhandledExceptionFilter(GetCrashReportFilter())) << nMode;
        for (auto pfn : filters)
            EXPECT_NE(pfn, GetCrashReportFilter()) << nMode;
        filters.push_back(GetCrashReportFilter());
    }
    // A value outside 0 to 5 changes nothing; 0 gives the system's handling back.
    SetCrashReportMode(6);
    SetCrashReportMode(-1);
    EXPECT_EQ(filters.back(), SetUnhandledExceptionFilter(filters.back()));
    SetCrashReportMode(0);
    EXPECT_EQ(nullptr, SetUnhandledExceptionFilter(nullptr));
    SetUnhandledExceptionFilter(pfnBefore);
}

// What the status page asked the device context to draw, read back from a metafile.
struct Drawing
{
    std::vector<std::pair<POINT, std::string>> m_Texts;
    std::vector<std::vector<POINT>> m_Polylines;
    std::vector<std::pair<POINT, POINT>> m_Lines;
    POINT m_Current = {0, 0};
};

// A metafile keeps points as 16-bit or 32-bit pairs.
template <typename TPoint>
std::vector<POINT> Points(const TPoint* pPoints, DWORD nCount)
{
    std::vector<POINT> points;
    for (DWORD i = 0; i < nCount; ++i)
        points.push_back({pPoints[i].x, pPoints[i].y});
    return points;
}

int CALLBACK RecordDrawing(HDC, HANDLETABLE*, const ENHMETARECORD* pRecord, int, LPARAM lParam)
{
    Drawing& drawing = *reinterpret_cast<Drawing*>(lParam);
    const BYTE* pBytes = reinterpret_cast<const BYTE*>(pRecord);
    switch (pRecord->iType) {
    case EMR_EXTTEXTOUTW: {
        const EMREXTTEXTOUTW* p = reinterpret_cast<const EMREXTTEXTOUTW*>(pRecord);
        const wchar_t* pText = reinterpret_cast<const wchar_t*>(pBytes + p->emrtext.offString);
        drawing.m_Texts.push_back({{p->emrtext.ptlReference.x, p->emrtext.ptlReference.y},
                                   std::string(pText, pText + p->emrtext.nChars)});
        break;
    }
    case EMR_EXTTEXTOUTA: {
        const EMREXTTEXTOUTA* p = reinterpret_cast<const EMREXTTEXTOUTA*>(pRecord);
        const char* pText = reinterpret_cast<const char*>(pBytes + p->emrtext.offString);
        drawing.m_Texts.push_back({{p->emrtext.ptlReference.x, p->emrtext.ptlReference.y},
                                   std::string(pText, p->emrtext.nChars)});
        break;
    }
    case EMR_POLYLINE16: {
        const EMRPOLYLINE16* p = reinterpret_cast<const EMRPOLYLINE16*>(pRecord);
        drawing.m_Polylines.push_back(Points(p->apts, p->cpts));
        break;
    }
    case EMR_POLYLINE: {
        const EMRPOLYLINE* p = reinterpret_cast<const EMRPOLYLINE*>(pRecord);
        drawing.m_Polylines.push_back(Points(p->aptl, p->cptl));
        break;
    }
    case EMR_MOVETOEX: {
        const EMRMOVETOEX* p = reinterpret_cast<const EMRMOVETOEX*>(pRecord);
        drawing.m_Current = {p->ptl.x, p->ptl.y};
        break;
    }
    case EMR_LINETO: {
        const EMRLINETO* p = reinterpret_cast<const EMRLINETO*>(pRecord);
        drawing.m_Lines.push_back({drawing.m_Current, {p->ptl.x, p->ptl.y}});
        drawing.m_Current = {p->ptl.x, p->ptl.y};
        break;
    }
    default: break;
    }
    return 1;
}

Drawing DrawStatusPage(const RECT& rect, const PlayerServerStats& stats)
{
    Drawing drawing;
    HDC hDC = CreateEnhMetaFileW(NULL, NULL, NULL, NULL);
    EXPECT_NE(nullptr, hDC);
    if (!hDC)
        return drawing;
    PaintStatusPage(hDC, rect, stats);
    HENHMETAFILE hMeta = CloseEnhMetaFile(hDC);
    EnumEnhMetaFile(NULL, hMeta, RecordDrawing, &drawing, NULL);
    DeleteEnhMetaFile(hMeta);
    return drawing;
}

TEST(StatusPage, TwelveLinesAndTwoGraphs)
{
    static PlayerServerStats s_Stats;
    memset(&s_Stats, 0, sizeof(s_Stats));
    memset(s_Stats.m_szName, 'n', sizeof(s_Stats.m_szName));  // not terminated: cut at 63
    strcpy(s_Stats.m_szAddress, "127.0.0.1:7777");
    strcpy(s_Stats.m_szScene, "scenes\\arena.xml");
    s_Stats.m_nClients = 3;
    s_Stats.m_fFrameTime = 0.0125f;
    s_Stats.m_nTick = 42;
    s_Stats.m_nBytesUploaded = 4096 + 1023;
    s_Stats.m_nStatePacketSize = 120;
    s_Stats.m_nUploadBytesPerSecond = 131072;
    s_Stats.m_nBytesDownloaded = 2047;
    s_Stats.m_nDownloadBytesPerSecond = 512;
    const float aSeries1[] = {0.0f, 0.5f, 1.0f, 2.0f, -1.0f};
    memcpy(s_Stats.m_afSeries1, aSeries1, sizeof(aSeries1));
    s_Stats.m_nSeries1Count = 5;
    s_Stats.m_afSeries2[0] = 0.25f;
    s_Stats.m_afSeries2[1] = 0.75f;
    s_Stats.m_afSeries2[2] = 0.1f;  // the last sample is not drawn
    s_Stats.m_nSeries2Count = 3;

    const RECT rect = {0, 0, 400, 300};
    Drawing drawing = DrawStatusPage(rect, s_Stats);
    const std::pair<const char*, std::string> lines[12] = {
        {"Name", std::string(63, 'n')},
        {"Address", "127.0.0.1:7777"},
        {"Clients", "3"},
        {"Time", "12.50 ms"},
        {"Tick", "42"},
        {"Bytes uploaded", "4 Kb"},
        {"State packet byte size", "120"},
        {"Packets per second", "60"},
        {"Upload", "1.00 mbit/s"},
        {"Bytes downloaded", "1 Kb"},
        {"Download bytes per second", "512"},
        {"Scene", "arena"},
    };
    ASSERT_EQ(12u, drawing.m_Texts.size());
    for (int n = 0; n < 12; ++n) {
        std::string sLabel = lines[n].first;
        sLabel.resize(48, ' ');
        EXPECT_EQ(sLabel + lines[n].second, drawing.m_Texts[n].second) << "line " << n;
        EXPECT_EQ(8, drawing.m_Texts[n].first.x) << "line " << n;
        EXPECT_EQ(16 * n + 8, drawing.m_Texts[n].first.y) << "line " << n;
    }
    // The base line 50 pixels above the bottom, the graphs on or above it inside the band.
    ASSERT_EQ(1u, drawing.m_Lines.size());
    EXPECT_EQ(250, drawing.m_Lines[0].first.y);
    EXPECT_EQ(250, drawing.m_Lines[0].second.y);
    EXPECT_EQ(0, drawing.m_Lines[0].first.x);
    EXPECT_EQ(400, drawing.m_Lines[0].second.x);
    ASSERT_EQ(2u, drawing.m_Polylines.size());
    const std::vector<std::vector<LONG>> heights = {{250, 225, 200, 200}, {238, 213}};
    for (size_t g = 0; g < 2; ++g) {
        const std::vector<POINT>& points = drawing.m_Polylines[g];
        ASSERT_EQ(heights[g].size(), points.size()) << "graph " << g;
        for (size_t i = 0; i < points.size(); ++i) {
            EXPECT_EQ(heights[g][i], points[i].y) << "graph " << g << " point " << i;
            EXPECT_EQ(static_cast<LONG>(400 - i * 400 / 253 + 4), points[i].x) << "graph " << g << " point " << i;
        }
    }
}

// A breakpoint that the pure-call handler raises is counted and stepped over.
int s_nBreakpoints;
LONG CALLBACK StepOverBreakpoint(EXCEPTION_POINTERS* pPointers)
{
    if (pPointers->ExceptionRecord->ExceptionCode != EXCEPTION_BREAKPOINT)
        return EXCEPTION_CONTINUE_SEARCH;
    ++s_nBreakpoints;
#if defined(__x86_64__)
    DWORD64& nIp = pPointers->ContextRecord->Rip;
#else
    DWORD& nIp = pPointers->ContextRecord->Eip;
#endif
    if (*reinterpret_cast<const BYTE*>(nIp) == 0xCC)  // still on the int3
        ++nIp;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Whatever the mode (a value that sets no filter too), the runtime holds the handler, which logs
// its line and raises a breakpoint for the filter to report.
TEST(CrashModes, RuntimeHoldsThePureCallHandler)
{
    LPTOP_LEVEL_EXCEPTION_FILTER pfnBefore = SetUnhandledExceptionFilter(nullptr);
    for (int nMode : {0, 2, 5, 6, -1}) {
        _set_purecall_handler(nullptr);
        SetCrashReportMode(nMode);
        EXPECT_EQ(&PureCallHandler, _set_purecall_handler(nullptr)) << nMode;
    }
    SetCrashReportMode(6);
    _purecall_handler pfnHandler = _set_purecall_handler(nullptr);
    ASSERT_NE(nullptr, pfnHandler);
    _set_purecall_handler(pfnHandler);
    ivltest::LogCapture log;
    s_nBreakpoints = 0;
    PVOID pHandler = AddVectoredExceptionHandler(1, StepOverBreakpoint);
    pfnHandler();
    RemoveVectoredExceptionHandler(pHandler);
    EXPECT_EQ(1, s_nBreakpoints);
    EXPECT_EQ(std::vector<std::string>{"#error3: pure virtual function call\n"}, log.Texts("shared.debug"));
    SetUnhandledExceptionFilter(pfnBefore);
}
}  // namespace
