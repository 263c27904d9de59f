#pragma once

#include <QString>
#include <QtGlobal>
#include <cstdint>
#include <deque>

#include "download/module1.h"

// Where a fetch stands, as the window shows it while the fetch runs.
struct FetchProgress {
    enum class Phase {
        kFindingProxy,  // reading the proxy settings (fetching and running a PAC file, perhaps)
        kConnecting,    // waiting for the server (or the proxy) to answer
        kReceiving,     // the page is arriving
        kConverting,    // the page has come and is being converted
    };
    Phase phase = Phase::kConnecting;
    QString strHost;                 // the server, as the user typed it
    QString strProxy;                // the proxy the request goes through, "host:port"; empty: none
    Module1::ProxyOrigin udtOrigin;  // where that proxy came from
    std::uint64_t lngReceived = 0;   // bytes of the page so far
    std::uint64_t lngExpected = 0;   // the length the server declared; 0: not declared
    double dblBytesPerSecond = -1.0;  // the recent rate; negative: not known yet
};

// How fast the bytes of a fetch have been coming lately: over about the last two seconds, from the
// counts noted as the fetch runs.
class RecentRate {
public:
    // Notes that `lngBytes` had come by `lngAtMs`, in milliseconds from any fixed moment, never
    // earlier than the moment noted before. Fewer bytes than before start the rate over.
    void Add(qint64 lngAtMs, std::uint64_t lngBytes);
    // Bytes a second since the oldest count still kept; negative until the counts kept span half a
    // second.
    double BytesPerSecond() const;

private:
    struct Sample {
        qint64 lngAt;
        std::uint64_t lngBytes;
    };
    std::deque<Sample> lstSamples;
};

// A number of bytes as a person reads it: "0バイト", "1023バイト", "1.0KB", "9.9KB", "10KB",
// "1023KB", "1.0MB", "256MB" (units of 1024; one decimal below ten).
QString ByteCountText(std::uint64_t lngBytes);

// A rate as a person reads it: "350KB/秒".
QString RateText(double dblBytesPerSecond);

// One or two short lines, in Japanese, on where the fetch stands: whom it waits for; or how much
// has come (of how much, and what share, where the length was declared), how fast, and that Esc
// stops it; or that the page is being converted.
QString DescribeProgress(const FetchProgress& udtProgress);
