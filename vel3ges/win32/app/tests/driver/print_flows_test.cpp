// The card manager's "&Imprimer", run from a separate driver process as the
// holder runs it: a log shown, "&Imprimer", the print dialog's OK, on the
// tree's test printer (a PDF printer: scripts/cups.sh). What reached paper is
// read back from the PDF's words and their places (pdftotext -bbox, written
// beside each PDF once the job is done): every line of the log, accents
// included, at its line on its page, with the pages broken where the printer's
// line height puts them. The program path comes from VLMGR_EXE, the PDF
// folder from VEL_PRINT_OUT.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Driver.h"
#include "resource.h"

using namespace driver;

namespace {

const char kMainCaption[] = "VEL-GESTION - Version 06.09.00";
const char kPrinter[] = "VEL-PDF";
const char kReader[] = "Lecteur Ovrane VEL 0";
const DWORD kWait = 20000;
// The longest part of a line that is printed.
const size_t kPrintedChars = 127;

std::string EnvOr(const char *name, const char *fallback)
{
    const char *v = std::getenv(name);
    return v ? v : fallback;
}

// Windows-1252 text as UTF-8, as pdftotext writes it.
std::string Utf8Of1252(const std::string &text)
{
    if (text.empty())
        return text;
    int wide = MultiByteToWideChar(1252, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring w((size_t)wide, L'\0');
    MultiByteToWideChar(1252, 0, text.data(), (int)text.size(), &w[0], wide);
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string out((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, &out[0], n, nullptr, nullptr);
    return out;
}

// A line's words (split at spaces and tabs) joined by one space: what the
// PDF's words of one line give back.
std::string Words(const std::string &line)
{
    std::string out, word;
    for (char c : line + ' ') {
        if (c == ' ' || c == '\t') {
            if (!word.empty())
                out += (out.empty() ? "" : " ") + word;
            word.clear();
        } else {
            word += c;
        }
    }
    return out;
}

// The lines an edit control holds for this text: every "\r\n" ends one, and
// the part after the last is a line too (empty when the text ends with one).
std::vector<std::string> EditLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find("\r\n", start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return lines;
        start = end + 2;
    }
}

// ---- the PDF's words, as pdftotext -bbox writes them

struct Word {
    double xMin, yMin, xMax;
    std::string text;
};
struct Page {
    double width = 0, height = 0;
    std::vector<Word> words;
};
struct Printed {
    std::string title;
    std::vector<Page> pages;
};

std::string Attribute(const std::string &tag, const char *name)
{
    std::string key = std::string(" ") + name + "=\"";
    size_t at = tag.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    return tag.substr(at, tag.find('"', at) - at);
}

std::string Unescape(const std::string &s)
{
    static const std::pair<const char *, const char *> kEntities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&#39;", "'"}, {"&amp;", "&"}};
    std::string out;
    for (size_t i = 0; i < s.size();) {
        bool replaced = false;
        if (s[i] == '&') {
            for (const auto &e : kEntities) {
                size_t n = strlen(e.first);
                if (s.compare(i, n, e.first) == 0) {
                    out += e.second;
                    i += n;
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced)
            out += s[i++];
    }
    return out;
}

Printed ParseWords(const std::string &html)
{
    Printed printed;
    size_t t = html.find("<title>");
    if (t != std::string::npos) {
        t += 7;
        printed.title = Unescape(html.substr(t, html.find("</title>", t) - t));
    }
    for (size_t at = html.find('<'); at != std::string::npos; at = html.find('<', at + 1)) {
        size_t close = html.find('>', at);
        if (close == std::string::npos)
            break;
        std::string tag = html.substr(at, close - at + 1);
        if (tag.compare(0, 6, "<page ") == 0) {
            Page page;
            page.width = atof(Attribute(tag, "width").c_str());
            page.height = atof(Attribute(tag, "height").c_str());
            printed.pages.push_back(page);
        } else if (tag.compare(0, 6, "<word ") == 0 && !printed.pages.empty()) {
            size_t end = html.find("</word>", close);
            Word w{atof(Attribute(tag, "xMin").c_str()), atof(Attribute(tag, "yMin").c_str()),
                   atof(Attribute(tag, "xMax").c_str()), Unescape(html.substr(close + 1, end - close - 1))};
            printed.pages.back().words.push_back(w);
        }
    }
    return printed;
}

// The printer's resolution and printable height, as the program's printer
// device context has them.
struct PrinterMetrics {
    int dpi = 0;
    int vertres = 0;
};
PrinterMetrics MetricsOf(const char *printer)
{
    PrinterMetrics m;
    HDC dc = CreateDCA("WINSPOOL", printer, nullptr, nullptr);
    if (dc) {
        m.dpi = GetDeviceCaps(dc, LOGPIXELSY);
        m.vertres = GetDeviceCaps(dc, VERTRES);
        DeleteDC(dc);
    }
    return m;
}

// Where each printed line went: (page, line number on the page) -> words.
// Line numbers come from the lines' tops over the line pitch, the smallest
// gap between two lines of a page (in points).
struct Layout {
    double pitch = 0;
    std::map<std::pair<size_t, int>, std::string> lines;
    std::string offPage; // words that stick out of their page
};
Layout LayOut(const Printed &printed)
{
    Layout layout;
    std::vector<std::vector<std::pair<double, std::vector<Word>>>> rows(printed.pages.size());
    for (size_t p = 0; p < printed.pages.size(); ++p) {
        auto &pageRows = rows[p];
        for (const Word &w : printed.pages[p].words) {
            auto row = std::find_if(pageRows.begin(), pageRows.end(),
                                    [&](const auto &r) { return std::fabs(r.first - w.yMin) < 0.01; });
            if (row == pageRows.end()) {
                pageRows.push_back({w.yMin, {}});
                row = pageRows.end() - 1;
            }
            row->second.push_back(w);
            if (w.xMin < 0 || w.xMax > printed.pages[p].width + 0.01)
                layout.offPage += w.text + " ";
        }
        std::sort(pageRows.begin(), pageRows.end(),
                  [](const auto &a, const auto &b) { return a.first < b.first; });
        for (size_t i = 1; i < pageRows.size(); ++i) {
            double gap = pageRows[i].first - pageRows[i - 1].first;
            if (layout.pitch == 0 || gap < layout.pitch)
                layout.pitch = gap;
        }
    }
    for (size_t p = 0; p < rows.size(); ++p) {
        for (auto &row : rows[p]) {
            std::sort(row.second.begin(), row.second.end(),
                      [](const Word &a, const Word &b) { return a.xMin < b.xMin; });
            std::string text;
            for (const Word &w : row.second)
                text += (text.empty() ? "" : " ") + w.text;
            int number = layout.pitch > 0 ? (int)std::lround(row.first / layout.pitch) : 0;
            layout.lines[{p, number}] = text;
        }
    }
    return layout;
}

class Printing : public ::testing::Test {
protected:
    std::string outFolder = EnvOr("VEL_PRINT_OUT", "");
    std::string statePath = EnvOr("TEMP", "C:\\windows\\temp") + std::string("\\vlmgr-print.state");
    Program program;
    HWND dlg = nullptr;

    void SetUp() override
    {
        ASSERT_FALSE(outFolder.empty()) << "VEL_PRINT_OUT not set";
        const std::string exe = EnvOr("VLMGR_EXE", "");
        ASSERT_FALSE(exe.empty()) << "VLMGR_EXE not set";
        ASSERT_TRUE(WriteSoftcardState(statePath, EnvOr("VLMGR_CARDS", "."), {kReader},
                                       {{"vel3-default", kReader}}, 0, false));
        ASSERT_TRUE(Start(program, exe, {"VEL_SOFTCARD_STATE=" + statePath})) << exe;
        dlg = WaitWindow(program.pi.dwProcessId, kMainCaption, kWait, true);
        ASSERT_NE(nullptr, dlg) << "no main dialog";
        ASSERT_TRUE(WaitIdle(dlg, kWait));
    }
    void TearDown() override
    {
        if (dlg) {
            PostMessageA(dlg, WM_CLOSE, 0, 0);
            EXPECT_EQ(0, program.Wait(kWait)) << "the program did not end";
        }
    }

    std::vector<std::string> OutFiles(const char *pattern)
    {
        std::vector<std::string> names;
        WIN32_FIND_DATAA fd;
        HANDLE h = FindFirstFileA((outFolder + "\\" + pattern).c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE)
            return names;
        do {
            names.push_back(fd.cFileName);
        } while (FindNextFileA(h, &fd));
        FindClose(h);
        return names;
    }
    // The word files of the pages printed, once the printer has written
    // one; what the program shows instead when it has none.
    std::vector<std::string> PrintedWords()
    {
        std::vector<std::string> words;
        EXPECT_TRUE(WaitUntil(
            [&] {
                words = OutFiles("*.words");
                return !words.empty();
            },
            60000))
            << "nothing printed; on screen: " << OnScreen();
        return words;
    }
    std::string OnScreen()
    {
        if (!dlg)
            return "";
        HWND other = WaitOtherDialog(program.pi.dwProcessId, dlg, 0);
        return other ? Text(other) + " " + MessageText(other) : "";
    }
    void ClearOut()
    {
        for (const std::string &name : OutFiles("*"))
            if (name != "." && name != "..")
                DeleteFileA((outFolder + "\\" + name).c_str());
    }

    // The code dialog that comes now, answered with `code`.
    void EnterCode(const char *code)
    {
        HWND box = WaitOtherDialog(program.pi.dwProcessId, dlg, kWait);
        ASSERT_NE(nullptr, box) << "no code dialog";
        SetItemText(box, IDC_CODE_EDIT, code);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box); }, kWait));
    }
    // Data, PIN and situations read: every log has lines of its own.
    void ReadEverything()
    {
        Click(dlg, IDC_LECDONNEES);
        ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PANE_DATA_UPPER); }, kWait));
        ASSERT_TRUE(WaitIdle(dlg, kWait));
        Command(dlg, ID_PRESENT_PIN);
        EnterCode("1234");
        ASSERT_TRUE(WaitIdle(dlg, kWait));
        Click(dlg, IDC_LECSIT);
        ASSERT_TRUE(WaitIdle(dlg, kWait));
    }

    // Shows a log and prints it as the holder does: "&Imprimer", then the
    // print dialog's OK on the default printer. The words of the PDF made.
    Printed PrintShown(int showButton, int paneEdit)
    {
        Click(dlg, showButton);
        EXPECT_TRUE(WaitUntil([&] { return Visible(dlg, paneEdit) && Visible(dlg, IDC_PRINT); }, kWait));
        ClearOut();
        Click(dlg, IDC_PRINT);
        HWND print = WaitOtherDialog(program.pi.dwProcessId, dlg, kWait);
        EXPECT_NE(nullptr, print) << "no print dialog";
        if (!print)
            return {};
        PostMessageA(print, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        std::vector<std::string> words = PrintedWords();
        // Printing over: the abort dialog gone, the main dialog usable again.
        EXPECT_TRUE(WaitUntil(
            [&] { return IsWindowEnabled(dlg) && !WaitOtherDialog(program.pi.dwProcessId, dlg, 0); }, kWait));
        EXPECT_EQ(1u, words.size());
        if (words.empty())
            return {};
        return ParseWords(ReadFileText(outFolder + "\\" + words[0]));
    }

    // The printed pages hold the edits' lines in order, one numbering
    // through them all: line k at line k % L + 1 of page k / L, with L the
    // lines a page holds (its printable height over the line height, less
    // one), each line's first 127 characters whole.
    // The number of pages checked.
    size_t ExpectPrinted(const Printed &printed, const std::vector<std::string> &editTexts, const char *what)
    {
        SCOPED_TRACE(what);
        EXPECT_EQ("VEL-GESTION", printed.title);
        if (printed.pages.empty()) {
            ADD_FAILURE() << "no page";
            return 0;
        }
        std::vector<std::string> lines;
        for (const std::string &text : editTexts)
            for (const std::string &line : EditLines(text))
                lines.push_back(Words(Utf8Of1252(line.substr(0, kPrintedChars))));

        Layout layout = LayOut(printed);
        EXPECT_EQ("", layout.offPage) << "words outside their page";
        PrinterMetrics metrics = MetricsOf(kPrinter);
        const int lineHeight = (int)std::lround(layout.pitch * metrics.dpi / 72.0);
        if (metrics.dpi <= 0 || lineHeight <= 0 || metrics.vertres / lineHeight < 2) {
            ADD_FAILURE() << "printer " << metrics.dpi << " dpi, " << metrics.vertres << " high; line pitch "
                          << layout.pitch << " pt";
            return 0;
        }
        const size_t perPage = (size_t)(metrics.vertres / lineHeight - 1);

        std::map<std::pair<size_t, int>, std::string> expected;
        for (size_t k = 0; k < lines.size(); ++k)
            if (!lines[k].empty())
                expected[{k / perPage, (int)(k % perPage) + 1}] = lines[k];
        // A page ends after its last line: the last page may hold none.
        std::printf("%s: %zu lines, %zu a page, %zu pages\n", what, lines.size(), perPage,
                    printed.pages.size());
        EXPECT_EQ(lines.size() / perPage + 1, printed.pages.size())
            << lines.size() << " lines, " << perPage << " a page";
        for (const auto &e : expected) {
            auto got = layout.lines.find(e.first);
            EXPECT_TRUE(got != layout.lines.end() && got->second == e.second)
                << "page " << e.first.first + 1 << " line " << e.first.second << ": printed \""
                << (got == layout.lines.end() ? "(nothing)" : got->second) << "\", expected \"" << e.second
                << "\"";
        }
        for (const auto &g : layout.lines)
            EXPECT_TRUE(expected.count(g.first)) << "page " << g.first.first + 1 << " line " << g.first.second
                                                 << ": \"" << g.second << "\" printed where no line goes";
        return printed.pages.size();
    }
};

// Each of the four logs, printed from its pane: the data log prints its
// upper edit, then its lower one, with one numbering.
TEST_F(Printing, EachLogPrintsItsLinesOnTheirPages)
{
    ReadEverything();
    struct Log {
        const char *what;
        int showButton;
        std::vector<int> edits;
    } logs[] = {
        {"journal", IDC_SHOW_JOURNAL, {IDC_PANE_JOUR}},
        {"data", IDC_SHOW_DATA, {IDC_PANE_DATA_UPPER, IDC_PANE_DATA_LOWER}},
        {"trace", IDC_SHOW_TRACE, {IDC_PANE_TRACE}},
        {"diagnostic", IDC_SHOW_DIAG, {IDC_PANE_DIAG}},
    };
    size_t mostPages = 0;
    for (const Log &log : logs) {
        std::vector<std::string> texts;
        for (int id : log.edits)
            texts.push_back(ItemText(dlg, id));
        Printed printed = PrintShown(log.showButton, log.edits[0]);
        mostPages = std::max(mostPages, ExpectPrinted(printed, texts, log.what));
        // The log is left as it was.
        for (size_t i = 0; i < log.edits.size(); ++i)
            EXPECT_EQ(texts[i], ItemText(dlg, log.edits[i])) << log.what;
    }
    EXPECT_GT(mostPages, 1u) << "no log long enough for a page break";
}

// Commands posted to the main dialog while it prints (from the print
// dialog on) are dropped, as during any operation: no second print dialog
// inside the first job, no card read rebuilding the log being printed, the
// pane left shown. The one job prints the log as it was.
TEST_F(Printing, CommandsPostedWhilePrintingAreDropped)
{
    ReadEverything();
    Click(dlg, IDC_SHOW_DATA);
    ASSERT_TRUE(
        WaitUntil([&] { return Visible(dlg, IDC_PANE_DATA_UPPER) && Visible(dlg, IDC_PRINT); }, kWait));
    const std::vector<std::string> texts = {ItemText(dlg, IDC_PANE_DATA_UPPER),
                                            ItemText(dlg, IDC_PANE_DATA_LOWER)};
    const std::string journal = ItemText(dlg, IDC_PANE_JOUR);
    ClearOut();
    Click(dlg, IDC_PRINT);
    HWND print = WaitOtherDialog(program.pi.dwProcessId, dlg, kWait);
    ASSERT_NE(nullptr, print) << "no print dialog";
    // Queued before the print dialog's OK: they arrive while it prints.
    for (int id : {IDC_PRINT, IDC_LECDONNEES, IDC_CLOSE_PANE, IDC_SHOW_JOURNAL, ID_OPTIONS})
        Click(dlg, id);
    PostMessageA(print, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    std::vector<std::string> words = PrintedWords();
    HWND other = WaitOtherDialog(program.pi.dwProcessId, dlg, 1000);
    EXPECT_EQ(nullptr, other) << "a window came after printing: " << Text(other) << " " << MessageText(other);
    if (other)
        PostMessageA(other, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    ASSERT_TRUE(WaitUntil(
        [&] { return IsWindowEnabled(dlg) && !WaitOtherDialog(program.pi.dwProcessId, dlg, 0); }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    ASSERT_EQ(1u, words.size());
    ExpectPrinted(ParseWords(ReadFileText(outFolder + "\\" + words[0])), texts, "data");
    EXPECT_EQ(1u, OutFiles("*.pdf").size());
    EXPECT_TRUE(Visible(dlg, IDC_PANE_DATA_UPPER));
    EXPECT_FALSE(Visible(dlg, IDC_PANE_JOUR));
    EXPECT_EQ(texts[0], ItemText(dlg, IDC_PANE_DATA_UPPER));
    EXPECT_EQ(journal, ItemText(dlg, IDC_PANE_JOUR)) << "an operation ran";
}

// A quit posted while printing waits for the job: the log is printed whole,
// then the program ends.
TEST_F(Printing, QuitWhilePrintingEndsAfterTheJob)
{
    Click(dlg, IDC_SHOW_TRACE);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PANE_TRACE) && Visible(dlg, IDC_PRINT); }, kWait));
    const std::string trace = ItemText(dlg, IDC_PANE_TRACE);
    ClearOut();
    Click(dlg, IDC_PRINT);
    HWND print = WaitOtherDialog(program.pi.dwProcessId, dlg, kWait);
    ASSERT_NE(nullptr, print) << "no print dialog";
    Click(dlg, IDCANCEL);
    PostMessageA(print, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_EQ(0, program.Wait(kWait)) << "the program did not end";
    dlg = nullptr;
    std::vector<std::string> words = PrintedWords();
    ASSERT_EQ(1u, words.size());
    ExpectPrinted(ParseWords(ReadFileText(outFolder + "\\" + words[0])), {trace}, "trace");
}

// The printer gone between the print dialog and the end of the job (its
// scheduler unreachable: the spooler cannot hand the job over): the holder
// is told the log was not printed, and the window stays usable.
TEST_F(Printing, PrinterGoneDuringTheJobIsReported)
{
    const std::string socketFolder = EnvOr("VEL_PRINT_SOCKET", "");
    ASSERT_FALSE(socketFolder.empty()) << "VEL_PRINT_SOCKET not set";
    const std::string away = socketFolder + ".away";
    Click(dlg, IDC_SHOW_JOURNAL);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PANE_JOUR) && Visible(dlg, IDC_PRINT); }, kWait));
    ClearOut();
    Click(dlg, IDC_PRINT);
    HWND print = WaitOtherDialog(program.pi.dwProcessId, dlg, kWait);
    ASSERT_NE(nullptr, print) << "no print dialog";
    ASSERT_TRUE(MoveFileA(socketFolder.c_str(), away.c_str())) << GetLastError();
    PostMessageA(print, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(print); }, kWait));
    // A message box, not the abort dialog ("Impression en cours") while the
    // job ends.
    HWND box = nullptr;
    WaitUntil(
        [&] {
            box = WaitOtherDialog(program.pi.dwProcessId, dlg, 0);
            std::string text = box ? MessageText(box) : "";
            return !text.empty() && text != "Impression en cours";
        },
        5000);
    // The printer back for what follows, whatever came.
    EXPECT_TRUE(MoveFileA(away.c_str(), socketFolder.c_str())) << GetLastError();
    ASSERT_TRUE(box && IsWindow(box)) << "nothing said";
    EXPECT_EQ("VEL-GESTION", Text(box));
    EXPECT_EQ("Impossible d'imprimer", MessageText(box));
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box) && IsWindowEnabled(dlg); }, kWait));
    EXPECT_TRUE(OutFiles("*.pdf").empty());
}

// "Annuler" in the print dialog prints nothing and leaves the window usable.
TEST_F(Printing, CancelledPrintDialogPrintsNothing)
{
    Click(dlg, IDC_SHOW_JOURNAL);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PANE_JOUR); }, kWait));
    ClearOut();
    Click(dlg, IDC_PRINT);
    HWND print = WaitOtherDialog(program.pi.dwProcessId, dlg, kWait);
    ASSERT_NE(nullptr, print) << "no print dialog";
    PostMessageA(print, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(print); }, kWait));
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(dlg) != 0; }, kWait));
    EXPECT_EQ(nullptr, WaitOtherDialog(program.pi.dwProcessId, dlg, 300));
    EXPECT_TRUE(OutFiles("*.pdf").empty());
}

} // namespace
