// The window at work on big pages, offscreen, against a loopback server in a process of its own
// (so that the server's copies of the pages count in neither the time nor the memory measured):
//   - Go to the text shown, and flipping the check box each way, for 100 KB, 1 MB and 10 MB pages;
//   - where the time of one Go goes, step by step, beside a result box laid out as one paragraph;
//   - a 20 MB EUC-JP page against `w3m -dump` of the same page from the same server;
//   - peak and remaining memory of a fetch and a few flips, for 10 MB and 100 MB pages;
//   - the first Go of a new process on a 100 KB page, with the proxy decided by a variable and by
//     the desktop's settings (none, GNOME's by hand, a GNOME PAC file).
// The pages are markup-dense Japanese news listings in EUC-JP, declared in an http-equiv meta tag.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "download/module1.h"
#include "platform/urlclient/url_client.h"
#include "tests/support/loopback_server.h"
#include "tests/support/memory_usage.h"
#include "tests/support/scoped_env.h"
#include "window/big_blocks.h"
#include "window/form1.h"
#include "window/text/convert_body.h"
#include "window/text/remove_tags.h"

extern char** environ;

namespace {

constexpr std::int64_t kKiB = 1024;
constexpr std::int64_t kMiB = 1024 * kKiB;
const std::int64_t kPageSizes[] = {100 * kKiB, 1 * kMiB, 10 * kMiB, 20 * kMiB, 100 * kMiB};

// Headlines in EUC-JP.
const char* const kHeadlines[] = {
    // 東京都で新しい交通システムの試験運用が始まりました
    "\xc5\xec\xb5\xfe\xc5\xd4\xa4\xc7\xbf\xb7\xa4\xb7\xa4\xa4\xb8\xf2\xc4\xcc\xa5\xb7\xa5\xb9\xa5"
    "\xc6\xa5\xe0\xa4\xce\xbb\xee\xb8\xb3\xb1\xbf\xcd\xd1\xa4\xac\xbb\xcf\xa4\xde\xa4\xea\xa4\xde"
    "\xa4\xb7\xa4\xbf",
    // 今日の天気は晴れのち曇り、夕方から雨の予報です
    "\xba\xa3\xc6\xfc\xa4\xce\xc5\xb7\xb5\xa4\xa4\xcf\xc0\xb2\xa4\xec\xa4\xce\xa4\xc1\xc6\xde\xa4"
    "\xea\xa1\xa2\xcd\xbc\xca\xfd\xa4\xab\xa4\xe9\xb1\xab\xa4\xce\xcd\xbd\xca\xf3\xa4\xc7\xa4\xb9",
    // 日本代表が強豪を破り決勝トーナメント進出を決めました
    "\xc6\xfc\xcb\xdc\xc2\xe5\xc9\xbd\xa4\xac\xb6\xaf\xb9\xeb\xa4\xf2\xc7\xcb\xa4\xea\xb7\xe8\xbe"
    "\xa1\xa5\xc8\xa1\xbc\xa5\xca\xa5\xe1\xa5\xf3\xa5\xc8\xbf\xca\xbd\xd0\xa4\xf2\xb7\xe8\xa4\xe1"
    "\xa4\xde\xa4\xb7\xa4\xbf",
    // 新型スマートフォンの予約受付が全国の販売店で開始
    "\xbf\xb7\xb7\xbf\xa5\xb9\xa5\xde\xa1\xbc\xa5\xc8\xa5\xd5\xa5\xa9\xa5\xf3\xa4\xce\xcd\xbd\xcc"
    "\xf3\xbc\xf5\xc9\xd5\xa4\xac\xc1\xb4\xb9\xf1\xa4\xce\xc8\xce\xc7\xe4\xc5\xb9\xa4\xc7\xb3\xab"
    "\xbb\xcf",
    // 週末の行楽地は多くの家族連れでにぎわいました
    "\xbd\xb5\xcb\xf6\xa4\xce\xb9\xd4\xb3\xda\xc3\xcf\xa4\xcf\xc2\xbf\xa4\xaf\xa4\xce\xb2\xc8\xc2"
    "\xb2\xcf\xa2\xa4\xec\xa4\xc7\xa4\xcb\xa4\xae\xa4\xef\xa4\xa4\xa4\xde\xa4\xb7\xa4\xbf",
    // 円相場は一時値上がりし、株価は小幅に反発しました
    "\xb1\xdf\xc1\xea\xbe\xec\xa4\xcf\xb0\xec\xbb\xfe\xc3\xcd\xbe\xe5\xa4\xac\xa4\xea\xa4\xb7\xa1"
    "\xa2\xb3\xf4\xb2\xc1\xa4\xcf\xbe\xae\xc9\xfd\xa4\xcb\xc8\xbf\xc8\xaf\xa4\xb7\xa4\xde\xa4\xb7"
    "\xa4\xbf",
    // 人気アニメの劇場版が公開初日から記録的な動員
    "\xbf\xcd\xb5\xa4\xa5\xa2\xa5\xcb\xa5\xe1\xa4\xce\xb7\xe0\xbe\xec\xc8\xc7\xa4\xac\xb8\xf8\xb3"
    "\xab\xbd\xe9\xc6\xfc\xa4\xab\xa4\xe9\xb5\xad\xcf\xbf\xc5\xaa\xa4\xca\xc6\xb0\xb0\xf7",
    // 地震に備えて家具の固定と非常食の確認をしましょう
    "\xc3\xcf\xbf\xcc\xa4\xcb\xc8\xf7\xa4\xa8\xa4\xc6\xb2\xc8\xb6\xf1\xa4\xce\xb8\xc7\xc4\xea\xa4"
    "\xc8\xc8\xf3\xbe\xef\xbf\xa9\xa4\xce\xb3\xce\xc7\xa7\xa4\xf2\xa4\xb7\xa4\xde\xa4\xb7\xa4\xe7"
    "\xa4\xa6",
};
const char kMonday[] = "\xb7\xee";                // 月
const char kSectionTitle[] = "\xbc\xe7\xcd\xd7";  // 主要

// A news portal's listing page of about `lngBytes` bytes: roughly three bytes of markup to one of
// text, with a script and a comment now and then and no <br>, so that removing the tags leaves one
// paragraph of the whole page.
std::string MarkupDensePage(std::int64_t lngBytes) {
    std::string strPage =
        "<!DOCTYPE html>\n<html lang=\"ja\">\n<head>\n"
        "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=EUC-JP\">\n"
        "<title>News</title>\n<style>\n.topicsListItem { margin: 0 0 4px; }\n</style>\n"
        "</head>\n<body>\n";
    strPage.reserve(static_cast<std::size_t>(lngBytes) + 4096);
    std::uint32_t lngItem = 0;
    const std::string strEnd = "</body>\n</html>\n";
    while (static_cast<std::int64_t>(strPage.size() + strEnd.size()) < lngBytes) {
        if (lngItem % 20 == 0) {
            if (lngItem != 0) strPage += "</ul></section>\n";
            if (lngItem % 200 == 0) {
                strPage += "<script type=\"text/javascript\">window.__state__ = {\"page\": " +
                           std::to_string(lngItem) + ", \"ads\": [\"top\", \"side\"]};</script>\n";
                strPage += "<!-- section " + std::to_string(lngItem / 200) + " -->\n";
            }
            strPage += "<section class=\"topics\"><h2 class=\"topics__title\">";
            strPage += kSectionTitle;
            strPage += "</h2><ul class=\"topicsList\">\n";
        }
        strPage += "<li class=\"topicsListItem\"><a href=\"https://news.example.jp/pickup/";
        strPage += std::to_string(6400000 + lngItem);
        strPage += "\" data-cl-params=\"_cl_vmodule:tpc_maj;_cl_link:title;_cl_position:";
        strPage += std::to_string(lngItem % 20);
        strPage += ";\">";
        strPage += kHeadlines[lngItem % std::size(kHeadlines)];
        strPage += "</a><span class=\"topicsListItem__date\">12/7(";
        strPage += kMonday;
        strPage += ") " + std::to_string(10 + lngItem % 12) + ":" +
                   std::to_string(10 + lngItem % 50) + "</span></li>\n";
        ++lngItem;
    }
    strPage += "</ul></section>\n" + strEnd;
    return strPage;
}

std::string PagePath(std::int64_t lngBytes) {
    return "/page/" + std::to_string(lngBytes);
}

// The server runs in a child process made before any thread exists. It lives until the pipe
// from this process closes.
struct ServerProcess {
    pid_t pid = -1;
    int lngKeepAlive = -1;
    std::uint16_t lngPort = 0;
} g_server;

bool StartServerProcess() {
    int fdsPort[2];
    int fdsAlive[2];
    if (pipe(fdsPort) != 0 || pipe(fdsAlive) != 0) return false;
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        close(fdsPort[0]);
        close(fdsAlive[1]);
        {
            recvhtml::test::LoopbackServer server;
            for (std::int64_t lngBytes : kPageSizes) {
                server.Serve(PagePath(lngBytes),
                             recvhtml::test::Reply::Ok(MarkupDensePage(lngBytes), "text/html"));
            }
            server.Serve("/proxy.pac",
                         recvhtml::test::Reply::Ok("function FindProxyForURL(url, host) { return "
                                                   "\"DIRECT\"; }",
                                                   "application/x-ns-proxy-autoconfig"));
            const std::uint16_t lngPort = server.Port();
            if (write(fdsPort[1], &lngPort, sizeof lngPort) != sizeof lngPort) _exit(1);
            close(fdsPort[1]);
            char chr;
            while (read(fdsAlive[0], &chr, 1) > 0) {
            }
        }
        _exit(0);
    }
    close(fdsPort[1]);
    close(fdsAlive[0]);
    g_server.pid = pid;
    g_server.lngKeepAlive = fdsAlive[1];
    const bool blnOk = read(fdsPort[0], &g_server.lngPort, sizeof g_server.lngPort) ==
                       static_cast<ssize_t>(sizeof g_server.lngPort);
    close(fdsPort[0]);
    return blnOk;
}

void StopServerProcess() {
    if (g_server.pid <= 0) return;
    close(g_server.lngKeepAlive);
    int lngStatus = 0;
    waitpid(g_server.pid, &lngStatus, 0);
}

std::string PageUrl(std::int64_t lngBytes) {
    return "http://127.0.0.1:" + std::to_string(g_server.lngPort) + PagePath(lngBytes);
}

double Milliseconds(const QElapsedTimer& tmr) {
    return static_cast<double>(tmr.nsecsElapsed()) / 1e6;
}

// Paints what the result box shows now, as the screen would.
void PaintResult(Form1& frm) {
    frm.Text2->viewport()->repaint();
    QApplication::processEvents();
}

void ShowForm(Form1& frm, std::int64_t lngBytes) {
    frm.show();
    (void)QTest::qWaitForWindowExposed(&frm);
    frm.Text1->setText(QString::fromStdString(PageUrl(lngBytes)));
}

void GoAndShow(Form1& frm) {
    frm.Command1_Click();
    PaintResult(frm);
}

void SetCommonCounters(benchmark::State& state, const Form1& frm, std::int64_t lngBytes) {
    state.SetBytesProcessed(state.iterations() * lngBytes);
    state.counters["chars_shown"] = static_cast<double>(frm.Text2->Text().size());
}

void BM_GoToTextShown(benchmark::State& state) {
    const std::int64_t lngBytes = state.range(0);
    Form1 frm;
    ShowForm(frm, lngBytes);
    for (auto _ : state) GoAndShow(frm);
    SetCommonCounters(state, frm, lngBytes);
}

// One direction of the flip is timed; the other puts the box back, untimed.
void Flip(benchmark::State& state, bool blnToMarkup) {
    const std::int64_t lngBytes = state.range(0);
    Form1 frm;
    ShowForm(frm, lngBytes);
    frm.CheckBox1->setChecked(blnToMarkup);
    GoAndShow(frm);
    for (auto _ : state) {
        QTest::mouseClick(frm.CheckBox1, Qt::LeftButton);
        PaintResult(frm);
        state.PauseTiming();
        state.counters["chars_shown"] = static_cast<double>(frm.Text2->Text().size());
        QTest::mouseClick(frm.CheckBox1, Qt::LeftButton);
        PaintResult(frm);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * lngBytes);
}

void BM_FlipToMarkup(benchmark::State& state) {
    Flip(state, true);
}

void BM_FlipToText(benchmark::State& state) {
    Flip(state, false);
}

// Each step of one Go on its own, and what laying the text out as one paragraph would cost.
void BM_WhereTheTimeGoes(benchmark::State& state) {
    const std::int64_t lngBytes = state.range(0);
    Form1 frm;
    ShowForm(frm, lngBytes);
    const QString strUrl = frm.Text1->text();
    double sngDownload = 0, sngConvert = 0, sngRemove = 0, sngShow = 0, sngPaint = 0;
    double sngWhole = 0, sngWholePaint = 0, sngClear = 0;
    for (auto _ : state) {
        QElapsedTimer tmr;
        tmr.start();
        std::vector<std::uint8_t> bytBody;
        Module1::DownloadBytes(strUrl, bytBody, QString());
        sngDownload += Milliseconds(tmr);
        tmr.restart();
        const QString strHtml = ConvertBody(bytBody);
        sngConvert += Milliseconds(tmr);
        tmr.restart();
        const QString strText = RemoveTags(strHtml);
        sngRemove += Milliseconds(tmr);
        tmr.restart();
        frm.Text2->SetText(strText);
        sngShow += Milliseconds(tmr);
        tmr.restart();
        PaintResult(frm);
        sngPaint += Milliseconds(tmr);

        // Emptying the box, as the next Go does first.
        tmr.restart();
        frm.Text2->SetText(QString());
        sngClear += Milliseconds(tmr);

        // A plain QPlainTextEdit given the same text lays each paragraph out whole.
        QString strPlain = strText;
        strPlain.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        tmr.restart();
        frm.Text2->setPlainText(strPlain);
        sngWhole += Milliseconds(tmr);
        tmr.restart();
        PaintResult(frm);
        sngWholePaint += Milliseconds(tmr);
        state.counters["chars_shown"] = static_cast<double>(strText.size());
        state.counters["longest_paragraph"] = [&] {
            qsizetype lngLongest = 0;
            for (const auto& strPart : QStringView(strText).split(u'\n')) {
                lngLongest = std::max(lngLongest, strPart.size());
            }
            return static_cast<double>(lngLongest);
        }();
    }
    const double sngN = static_cast<double>(state.iterations());
    state.counters["download_ms"] = sngDownload / sngN;
    state.counters["convert_ms"] = sngConvert / sngN;
    state.counters["remove_tags_ms"] = sngRemove / sngN;
    state.counters["set_text_ms"] = sngShow / sngN;
    state.counters["first_paint_ms"] = sngPaint / sngN;
    state.counters["clear_ms"] = sngClear / sngN;
    state.counters["one_paragraph_set_ms"] = sngWhole / sngN;
    state.counters["one_paragraph_paint_ms"] = sngWholePaint / sngN;
}

// Runs `w3m -dump` on `strUrl`, its output thrown away; returns the wall time in ms, or a
// negative value when w3m cannot be run.
double TimeW3mDump(const std::string& strUrl) {
    posix_spawn_file_actions_t act;
    posix_spawn_file_actions_init(&act);
    posix_spawn_file_actions_addopen(&act, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::string strProgram = "w3m";
    std::vector<std::string> lstArgs = {"w3m", "-no-proxy", "-O", "UTF-8", "-dump", strUrl};
    std::vector<char*> argv;
    for (std::string& str : lstArgs) argv.push_back(str.data());
    argv.push_back(nullptr);
    QElapsedTimer tmr;
    tmr.start();
    pid_t pid = -1;
    const int lngErr = posix_spawnp(&pid, "w3m", &act, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&act);
    if (lngErr != 0) return -1;
    int lngStatus = 0;
    waitpid(pid, &lngStatus, 0);
    const double sngMs = Milliseconds(tmr);
    return WIFEXITED(lngStatus) && WEXITSTATUS(lngStatus) == 0 ? sngMs : -1;
}

// Go to the text shown is the time measured; w3m's dump of the same page is run in turn with it.
// One round of each comes first and is reported apart ("first_"): the first Go of a process also
// reads the conversion tables, compiles the patterns and loads the fonts, and on a virtual machine
// the first use of memory the host has not backed yet can cost more than the whole Go after it.
void BM_GoVersusW3mDump(benchmark::State& state) {
    const std::int64_t lngBytes = state.range(0);
    Form1 frm;
    ShowForm(frm, lngBytes);
    QElapsedTimer tmrFirst;
    tmrFirst.start();
    GoAndShow(frm);
    state.counters["first_go_ms"] = Milliseconds(tmrFirst);
    state.counters["first_w3m_dump_ms"] = TimeW3mDump(PageUrl(lngBytes));
    double sngOurs = 0, sngW3m = 0;
    for (auto _ : state) {
        QElapsedTimer tmr;
        tmr.start();
        GoAndShow(frm);
        const double sngThis = Milliseconds(tmr);
        state.SetIterationTime(sngThis / 1000.0);
        sngOurs += sngThis;
        const double sngDump = TimeW3mDump(PageUrl(lngBytes));
        if (sngDump < 0) {
            state.SkipWithError("w3m could not be run (bench/window/run installs it)");
            return;
        }
        sngW3m += sngDump;
    }
    SetCommonCounters(state, frm, lngBytes);
    const double sngN = static_cast<double>(state.iterations());
    state.counters["recv_html_ms"] = sngOurs / sngN;
    state.counters["w3m_dump_ms"] = sngW3m / sngN;
    state.counters["w3m_over_recv_html"] = sngW3m / sngOurs;
}

// Resident and peak resident memory of this process, in bytes.
struct Memory {
    double sngResident = 0;
    double sngPeak = 0;
};

Memory ReadMemory() {
    return {static_cast<double>(recvhtml::test::CurrentRssBytes()),
            static_cast<double>(recvhtml::test::PeakRssBytes())};
}

void ResetPeak() {
    recvhtml::test::ResetPeakRss();
}

// Peak memory of a whole Go (download, conversion, tag removal, display, first paint), as a
// multiple of the page's size above what the idle window held; then what stays after the fetch and
// after each of six flips of the check box.
void BM_PeakMemory(benchmark::State& state) {
    const std::int64_t lngBytes = state.range(0);
    const double sngPage = static_cast<double>(lngBytes);
    Form1 frm;
    ShowForm(frm, lngBytes);
    PaintResult(frm);
    for (auto _ : state) {
        frm.Text2->SetText(QString());
        frm.strHtml.clear();
        const Memory memStart = ReadMemory();
        ResetPeak();
        GoAndShow(frm);
        const Memory memFetched = ReadMemory();
        state.counters["peak_x_page"] = (memFetched.sngPeak - memStart.sngResident) / sngPage;
        state.counters["after_fetch_x_page"] =
            (memFetched.sngResident - memStart.sngResident) / sngPage;
        double sngFlipPeak = 0;
        std::vector<double> lstAfter;
        for (int lngFlip = 0; lngFlip < 6; ++lngFlip) {
            ResetPeak();
            QTest::mouseClick(frm.CheckBox1, Qt::LeftButton);
            PaintResult(frm);
            const Memory mem = ReadMemory();
            sngFlipPeak = std::max(sngFlipPeak, mem.sngPeak - memStart.sngResident);
            lstAfter.push_back(mem.sngResident - memStart.sngResident);
        }
        state.counters["flip_peak_x_page"] = sngFlipPeak / sngPage;
        // After an even number of flips the box is back in the state the fetch left.
        state.counters["after_6_flips_x_page"] = lstAfter.back() / sngPage;
        state.counters["growth_per_flip_pair_KiB"] = (lstAfter[5] - lstAfter[1]) / 2 / 1024;
    }
}

// Peak memory of each step of a Go on its own, above what was held before the step, as a
// multiple of the page size; the step's inputs are held throughout, as in the real sequence.
void BM_PeakMemoryByStep(benchmark::State& state) {
    const std::int64_t lngBytes = state.range(0);
    const double sngPage = static_cast<double>(lngBytes);
    Form1 frm;
    ShowForm(frm, lngBytes);
    const QString strUrl = frm.Text1->text();
    for (auto _ : state) {
        auto Step = [&](const char* strName, auto fnStep) {
            const Memory memBefore = ReadMemory();
            ResetPeak();
            fnStep();
            const Memory memAfter = ReadMemory();
            state.counters[std::string(strName) + "_peak_x_page"] =
                (memAfter.sngPeak - memBefore.sngResident) / sngPage;
            state.counters[std::string(strName) + "_kept_x_page"] =
                (memAfter.sngResident - memBefore.sngResident) / sngPage;
        };
        std::vector<std::uint8_t> bytBody;
        QString strHtml, strText;
        Step("download", [&] { Module1::DownloadBytes(strUrl, bytBody, QString()); });
        Step("convert", [&] { strHtml = ConvertBody(bytBody); });
        Step("free_body", [&] { std::vector<std::uint8_t>().swap(bytBody); });
        Step("remove_tags", [&] { strText = RemoveTags(strHtml); });
        Step("show", [&] {
            frm.Text2->SetText(strText);
            PaintResult(frm);
        });
        Step("clear", [&] {
            frm.Text2->SetText(QString());
            strText.clear();
            strHtml.clear();
        });
    }
}

// The first Go of a process, in a new process of this program's own (main() below starts it as
// the program's main() does: the proxy settings prepared, the window made and shown, the first Go
// `lngWaitMs` after, as a user's first click comes); it writes the milliseconds from Go to the
// text shown. Nonzero when the page did not show.
int FirstGoInThisProcess(const std::string& strUrl, int lngWaitMs) {
    Form1 frm;
    frm.show();
    (void)QTest::qWaitForWindowExposed(&frm);
    frm.Text1->setText(QString::fromStdString(strUrl));
    QTest::qWait(lngWaitMs);
    QElapsedTimer tmr;
    tmr.start();
    GoAndShow(frm);
    std::printf("%.3f\n", Milliseconds(tmr));
    return frm.Text2->Text().isEmpty() ? 1 : 0;
}

// Runs FirstGoInThisProcess in a new process with `lstEnv` added to the environment; the time,
// or a negative value when it failed.
double FirstGoInNewProcess(const std::string& strUrl, int lngWaitMs, bool blnPrepare,
                           const std::vector<std::string>& lstEnv) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    posix_spawn_file_actions_t act;
    posix_spawn_file_actions_init(&act);
    posix_spawn_file_actions_adddup2(&act, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&act, fds[0]);
    std::vector<std::string> lstArgs = {
        "window_bench",
        "--first-go=" + strUrl + "," + std::to_string(lngWaitMs) + "," + (blnPrepare ? "1" : "0")};
    std::vector<char*> argv;
    for (std::string& str : lstArgs) argv.push_back(str.data());
    argv.push_back(nullptr);
    std::vector<std::string> lstAll(lstEnv);
    for (char** env = environ; *env != nullptr; ++env) lstAll.emplace_back(*env);
    std::vector<char*> envp;
    for (std::string& str : lstAll) envp.push_back(str.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int lngErr = posix_spawn(&pid, "/proc/self/exe", &act, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&act);
    close(fds[1]);
    std::string strOut;
    char buf[256];
    for (ssize_t n; lngErr == 0 && (n = read(fds[0], buf, sizeof buf)) > 0;)
        strOut.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    if (lngErr != 0) return -1;
    int lngStatus = 0;
    waitpid(pid, &lngStatus, 0);
    if (!WIFEXITED(lngStatus) || WEXITSTATUS(lngStatus) != 0) return -1;
    return std::atof(strOut.c_str());
}

// The first Go after the program starts, each way the proxy can be decided: "before", as the
// program did before it read the desktop's settings (a variable decides, and nothing of libproxy
// is started); by a variable (no desktop is asked, though recv-html-proxy starts with the
// program); and by the desktop's settings (none, as outside a desktop session; GNOME's by hand,
// the loopback server reached directly; a GNOME PAC file that answers DIRECT). Pressed at once
// after the window shows, and 300 ms after; the median of five new processes each.
void BM_FirstGo(benchmark::State& state) {
    const int lngWaitMs = static_cast<int>(state.range(0));
    const std::string strUrl = PageUrl(100 * kKiB);
    TempFolder fldGnome;
    const std::string strSettings = fldGnome.path() + "/glib-2.0/settings";
    const std::string strPac =
        "http://127.0.0.1:" + std::to_string(g_server.lngPort) + "/proxy.pac";
    const std::vector<std::string> lstGnome = {
        "XDG_CONFIG_HOME=" + fldGnome.path(), "GSETTINGS_BACKEND=keyfile", "DESKTOP_SESSION=gnome"};
    const std::vector<std::string> lstVariable = {"http_proxy=http://127.0.0.1:9",
                                                  "no_proxy=127.0.0.1"};
    const struct {
        const char* strName;
        bool blnPrepare;
        std::vector<std::string> lstEnv;
        std::string strKeyfile;
    } setups[] = {
        {"before", false, lstVariable, ""},
        {"variable", true, lstVariable, ""},
        {"no_desktop", true, {}, ""},
        {"gnome_manual", true, lstGnome,
         "[system/proxy]\nmode='manual'\nignore-hosts=['127.0.0.0/8']\n"
         "[system/proxy/http]\nhost='127.0.0.1'\nport=9\n"},
        {"gnome_pac", true, lstGnome,
         "[system/proxy]\nmode='auto'\nignore-hosts=@as []\nautoconfig-url='" + strPac + "'\n"},
    };
    for (auto _ : state) {
        for (const auto& setup : setups) {
            std::filesystem::create_directories(strSettings);
            std::ofstream(strSettings + "/keyfile") << setup.strKeyfile;
            std::vector<double> lstMs;
            for (int i = 0; i < 5; ++i)
                lstMs.push_back(
                    FirstGoInNewProcess(strUrl, lngWaitMs, setup.blnPrepare, setup.lstEnv));
            std::sort(lstMs.begin(), lstMs.end());
            if (lstMs.front() < 0) state.SkipWithError("a first Go failed");
            state.counters[std::string("first_go_") + setup.strName + "_ms"] = lstMs[2];
        }
    }
}

void Sizes(benchmark::internal::Benchmark* bmk) {
    bmk->Arg(100 * kKiB)->Arg(1 * kMiB)->Arg(10 * kMiB);
    bmk->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_GoToTextShown)->Apply(Sizes);
BENCHMARK(BM_FlipToText)->Apply(Sizes);
BENCHMARK(BM_FlipToMarkup)->Apply(Sizes);
BENCHMARK(BM_WhereTheTimeGoes)
    ->Arg(100 * kKiB)
    ->Arg(1 * kMiB)
    ->Arg(10 * kMiB)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GoVersusW3mDump)
    ->Arg(20 * kMiB)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstGo)->Arg(0)->Arg(300)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakMemory)->Arg(10 * kMiB)->Arg(100 * kMiB)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_PeakMemoryByStep)
    ->Arg(10 * kMiB)
    ->Arg(100 * kMiB)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    // The same memory policy as the program's own main().
    ReturnBigBlocksToTheSystem();
    if (argc == 2 && std::string_view(argv[1]).starts_with("--first-go=")) {
        // A new process for BM_FirstGo, with the environment it was given: "URL,WAIT,PREPARE".
        const std::string strArg(argv[1] + 11);
        const std::size_t lngPrepare = strArg.rfind(',');
        const std::size_t lngWait = strArg.rfind(',', lngPrepare - 1);
        const urlclient::GlobalInit curl;
        if (strArg.substr(lngPrepare + 1) == "1") Module1::PrepareProxySettings();
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        return FirstGoInThisProcess(strArg.substr(0, lngWait),
                                    std::atoi(strArg.c_str() + lngWait + 1));
    }
    const NoProxySettings noProxySettings;
    // The server's process is made first, while this one has a single thread.
    if (!StartServerProcess()) {
        std::fprintf(stderr, "window_bench: could not start the loopback server\n");
        return 1;
    }
    // libcurl is set up before any download thread, as in the program's own main().
    const urlclient::GlobalInit curl;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    int lngStatus = 0;
    {
        QApplication app(argc, argv);
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
            lngStatus = 1;
        } else {
            benchmark::RunSpecifiedBenchmarks();
            benchmark::Shutdown();
        }
    }
    StopServerProcess();
    return lngStatus;
}
