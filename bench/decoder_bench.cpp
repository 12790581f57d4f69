// SPDX-License-Identifier: MIT
// Throughput of the serial byte decoder on 1 MiB of mixed scans: ASCII
// barcodes, GS1 data with GS separators, UTF-8, Shift_JIS and Windows-1252
// product names, each ending in CR, fed in reads of 4 KiB cut anywhere (a
// character or a line may span two reads), with Shift_JIS and with
// Windows-1252 as the legacy code page. Prints the median of several runs,
// timed by the thread's CPU time (the machine may be shared; wall time is
// printed beside it); a serial line brings at most a few hundred KiB/s.
//
//   scnferry_decoder_bench [runs]
#include "platform/text_decoder.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr qsizetype kInputSize = 1 << 20;
constexpr qsizetype kReadSize = 4096;

QByteArray mixedInput()
{
    const QByteArray scans[] = {
        "4006381333931\r",
        "0109501101020917\x1d" "10ABC123\x1d" "17250101\r",
        "\xE7\xB7\x91\xE8\x8C\xB6 500g \xE3\x81\x8A\xE8\x8C\xB6\r",          // UTF-8
        "\x93\xC1\x91\x49 \x90\xF7\x92\x83 \x82\x54\x82\x4F\x82\x4F\x82\x87\r", // Shift_JIS
        "M\xFC" "ller Gr\xF6\xDF" "e 5 \x80\r",                                // Windows-1252
        "https://example.com/p/1234567890?lot=A1B2C3\r",
    };
    QByteArray input;
    for (qsizetype i = 0; input.size() < kInputSize; ++i)
        input += scans[i % std::size(scans)];
    input.truncate(kInputSize);
    return input;
}

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Rate {
    double cpu;
    double wall;
};

Rate runOnce(const QByteArray &input, const char *legacy, qsizetype *characters)
{
    platform::ByteDecoder decoder(platform::TextEncoding{QByteArray(legacy), QString()});
    QElapsedTimer timer;
    timer.start();
    const double cpuStart = cpuSeconds();
    qsizetype total = 0;
    for (qsizetype pos = 0; pos < input.size(); pos += kReadSize)
        total += decoder.decode(QByteArrayView(input).sliced(pos, std::min(kReadSize, input.size() - pos))).size();
    total += decoder.flush().size();
    const double cpu = std::max(cpuSeconds() - cpuStart, 1e-9);
    const double wall = std::max(static_cast<double>(timer.nsecsElapsed()) / 1e9, 1e-9);
    *characters = total;
    const double mib = static_cast<double>(input.size()) / (1024.0 * 1024.0);
    return {mib / cpu, mib / wall};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    const QByteArray input = mixedInput();
    std::printf("decoder throughput, %lld bytes of mixed scans in reads of %lld bytes, %d runs\n",
                static_cast<long long>(input.size()), static_cast<long long>(kReadSize), runs);
    std::printf("%-14s %16s %16s %16s %12s\n", "legacy", "median MiB/s CPU", "min MiB/s CPU", "median MiB/s wall",
                "characters");
    for (const char *legacy : {"Shift_JIS", "windows-1252"}) {
        std::vector<double> cpu;
        std::vector<double> wall;
        qsizetype characters = 0;
        for (int i = 0; i < runs; ++i) {
            const Rate r = runOnce(input, legacy, &characters);
            cpu.push_back(r.cpu);
            wall.push_back(r.wall);
        }
        std::printf("%-14s %16.1f %16.1f %16.1f %12lld\n", legacy, median(cpu), *std::min_element(cpu.begin(), cpu.end()),
                    median(wall), static_cast<long long>(characters));
    }
    return 0;
}
