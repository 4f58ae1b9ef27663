// The replay central under a crafted capture and under a crowd, each scenario in a process of its own:
//   memory [MB]    a capture of the given size (50 MB by default) of minimal advertising reports, 25 to a
//                  record, all at one moment, from one address: the peak resident memory of the replay
//   addresses [MB] the same with a new address for every report
//   crowd [s]      2,000 advertisements per second from 200 devices, one report to a record, each at its own
//                  moment, replayed in real time for the given seconds (20 by default): CPU share and
//                  wake-ups (voluntary context switches) of the process
//   bursts [s]     the same 2,000 per second arriving ten at one moment
// Usage: bench_replay [scenario [size]]; without arguments every scenario runs with its default size.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "app/platform/SerialQueue.h"
#include "app/platform/SnoopReplayCentral.h"

namespace {

using namespace glintward;

class Writer {
public:
    explicit Writer(const std::string& path) : out_(path, std::ios::binary | std::ios::trunc) {
        out_.write("btsnoop\0", 8);
        be32(1);
        be32(2001);  // the Linux monitor format
    }
    void event(std::uint64_t timestampUs, const std::vector<std::uint8_t>& event) {
        be32(static_cast<std::uint32_t>(event.size()));
        be32(static_cast<std::uint32_t>(event.size()));
        be32(0x0003);  // adapter 0, an event
        be32(0);
        be32(static_cast<std::uint32_t>(timestampUs >> 32));
        be32(static_cast<std::uint32_t>(timestampUs));
        out_.write(reinterpret_cast<const char*>(event.data()), static_cast<std::streamsize>(event.size()));
        bytes_ += 24 + event.size();
    }
    std::uint64_t bytes() const { return bytes_; }

private:
    void be32(std::uint32_t v) {
        const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                           static_cast<char>(v)};
        out_.write(b, 4);
    }
    std::ofstream out_;
    std::uint64_t bytes_ = 16;
};

// Some day in 2023, in btsnoop's microseconds since year 0.
constexpr std::uint64_t T0 = 0x00E03AB44A676000ULL + 1700000000ULL * 1000000ULL;

void putAddress(std::vector<std::uint8_t>& out, std::uint64_t address) {
    for (int i = 0; i < 6; ++i) out.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
}

// Returns the number of reports written.
std::uint64_t writeMinimal(const std::string& path, std::uint64_t megabytes, bool newAddresses) {
    constexpr int PER_RECORD = 25;  // 2 + 25 * 10 bytes of parameters: as many as an HCI event holds
    Writer writer(path);
    std::uint64_t reports = 0;
    while (writer.bytes() < megabytes * 1'000'000) {
        std::vector<std::uint8_t> event{0x3E, 2 + PER_RECORD * 10, 0x02, PER_RECORD};
        for (int i = 0; i < PER_RECORD; ++i) {
            event.push_back(0x00);  // ADV_IND
            event.push_back(0x01);  // random address
            putAddress(event, newAddresses ? 0xC00000000000ULL + reports : 0xC0FFEE000001ULL);
            event.push_back(0);  // no data
            event.push_back(static_cast<std::uint8_t>(-60));
            ++reports;
        }
        writer.event(T0, event);
    }
    return reports;
}

std::uint64_t writeCrowd(const std::string& path, int seconds, int perMoment) {
    constexpr int DEVICES = 200;
    constexpr int PER_SECOND = 2000;
    Writer writer(path);
    const std::uint64_t total = static_cast<std::uint64_t>(PER_SECOND) * seconds;
    for (std::uint64_t i = 0; i < total; ++i) {
        const std::uint64_t moment = i / static_cast<std::uint64_t>(perMoment);
        const std::uint64_t t = T0 + moment * perMoment * 1'000'000ULL / PER_SECOND;
        const int device = static_cast<int>(i % DEVICES);
        const std::string name = "Sensor " + std::to_string(device);
        std::vector<std::uint8_t> data{0x02, 0x01, 0x06, static_cast<std::uint8_t>(name.size() + 1), 0x09};
        for (const char c : name) data.push_back(static_cast<std::uint8_t>(c));
        // A phone's manufacturer data.
        for (const std::uint8_t b : {0x05, 0xFF, 0x4C, 0x00, 0x10, 0x05}) data.push_back(b);
        std::vector<std::uint8_t> params{0x02, 0x01, 0x00, 0x01};
        putAddress(params, 0xD00000000000ULL + device);
        params.push_back(static_cast<std::uint8_t>(data.size()));
        params.insert(params.end(), data.begin(), data.end());
        params.push_back(static_cast<std::uint8_t>(-70 - device % 20));
        std::vector<std::uint8_t> event{0x3E, static_cast<std::uint8_t>(params.size())};
        event.insert(event.end(), params.begin(), params.end());
        writer.event(t, event);
    }
    return total;
}

class CountingDelegate : public CentralDelegate {
public:
    void centralDidUpdateState(CentralState) override {}
    void centralDidDiscover(const Peripheral& peripheral, const AdvertisementData&,
                            std::int32_t rssi) override {
        checksum += rssi + static_cast<long>(peripheral.identifier.size());
        count.fetch_add(1, std::memory_order_relaxed);
    }
    std::atomic<std::uint64_t> count{0};
    long checksum = 0;
};

long statusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::char_traits<char>::length(field));
    }
    return -1;
}

struct Usage {
    double cpuSeconds;
    long wakeUps;
};

Usage usage() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return {seconds(u.ru_utime) + seconds(u.ru_stime), u.ru_nvcsw};
}

int scenario(const std::string& name, int size) {
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("capture.btsnoop")).toStdString();
    const bool memory = name == "memory" || name == "addresses";
    const std::uint64_t reports = memory             ? writeMinimal(path, size, name == "addresses")
                                  : name == "crowd"  ? writeCrowd(path, size, 1)
                                  : name == "bursts" ? writeCrowd(path, size, 10)
                                                     : 0;
    if (reports == 0) {
        std::fprintf(stderr, "unknown scenario %s\n", name.c_str());
        return 2;
    }
    const long fileBytes = static_cast<long>(std::ifstream(path, std::ios::ate | std::ios::binary).tellg());
    const long baselineKb = statusKb("VmHWM:");

    SerialQueue queue("glintward.ble");
    CountingDelegate delegate;
    const double speed = memory ? std::numeric_limits<double>::infinity() : 1.0;
    const Usage before = usage();
    const auto start = std::chrono::steady_clock::now();
    auto central = std::make_unique<SnoopReplayCentral>(delegate, queue, path, speed);
    central->scanForPeripherals(true);
    const auto deadline = start + std::chrono::seconds(memory ? 600 : size + 30);
    while (delegate.count.load() < reports && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(memory ? 5 : 50));
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const Usage after = usage();
    central.reset();
    queue.sync([] {});

    if (memory) {
        std::printf(
            "%-9s %.1f MB, %llu reports: delivered %llu in %.2f s; peak resident %ld MB (%ld MB before)\n",
            name.c_str(), static_cast<double>(fileBytes) / 1e6, static_cast<unsigned long long>(reports),
            static_cast<unsigned long long>(delegate.count.load()), elapsed, statusKb("VmHWM:") / 1024,
            baselineKb / 1024);
    } else {
        // The polling of this main thread is part of the figures: 20 wake-ups a second.
        const double cpu = after.cpuSeconds - before.cpuSeconds;
        const long wakeUps = after.wakeUps - before.wakeUps;
        std::printf(
            "%-9s %llu reports over %.1f s: cpu %.3f s = %.2f %% of one core; %ld wake-ups (%.0f/s)\n",
            name.c_str(), static_cast<unsigned long long>(delegate.count.load()), elapsed, cpu,
            100.0 * cpu / elapsed, wakeUps, static_cast<double>(wakeUps) / elapsed);
    }
    std::fflush(stdout);
    return delegate.count.load() == reports ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2) {
        const std::string name = argv[1];
        const int fallback = name == "memory" || name == "addresses" ? 50 : 20;
        return scenario(name, argc >= 3 ? std::max(1, std::atoi(argv[2])) : fallback);
    }
    int status = 0;
    for (const char* name : {"memory", "addresses", "crowd", "bursts"}) {
        const pid_t child = fork();
        if (child == 0) {
            execl("/proc/self/exe", argv[0], name, static_cast<char*>(nullptr));
            _exit(127);
        }
        int childStatus = 0;
        waitpid(child, &childStatus, 0);
        if (!WIFEXITED(childStatus) || WEXITSTATUS(childStatus) != 0) status = 1;
    }
    return status;
}
