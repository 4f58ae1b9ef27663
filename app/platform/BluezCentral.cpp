#include "app/platform/BluezCentral.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace glintward {
namespace detail {

namespace {

constexpr const char* BUS_NAME = "org.freedesktop.DBus";
constexpr const char* OBJECT_MANAGER_IFACE = "org.freedesktop.DBus.ObjectManager";
constexpr const char* PROPERTIES_IFACE = "org.freedesktop.DBus.Properties";
constexpr std::string_view ADAPTER_IFACE = "org.bluez.Adapter1";
constexpr std::string_view DEVICE_IFACE = "org.bluez.Device1";
// The tail of the Bluetooth base UUID, upper-cased.
constexpr std::string_view BASE_UUID_TAIL = "-0000-1000-8000-00805F9B34FB";
// Once a burst of messages has been handled, the thread lets the next ones gather this long before it reads
// them: a crowded room sends thousands a second, and waking for each one would cost more than handling it. It
// is also the most an advertisement waits.
constexpr int GATHER_MS = 50;
// A discovery that ends with the adapter on is started again this long after, so that a power-off that
// bluetoothd tells in a signal of its own after Discovering is taken for what it is.
constexpr std::chrono::milliseconds DROP_SETTLE{100};
// Starts that fail in a row on the adapter in use before another powered adapter, if there is one, is tried.
constexpr int FAILED_STARTS_BEFORE_ANOTHER_ADAPTER = 3;

// What sd_bus_open_system() would connect to.
std::string systemBusAddress() {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return address != nullptr && *address != '\0' ? address : "unix:path=/run/dbus/system_bus_socket";
}

std::string errorText(int negativeErrno) {
    return std::strerror(-negativeErrno);
}

std::string errorText(const sd_bus_error* error) {
    return std::string(error->name ? error->name : "?") + ": " + (error->message ? error->message : "");
}

std::string upper(std::string_view text) {
    std::string result(text);
    for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return result;
}

// CoreBluetooth gives a UUID in its shortest text form: 4 digits for a 16-bit one, 8 for a 32-bit one (both
// on the Bluetooth base UUID), else all 36 characters; BlueZ always writes the 36, in lower case.
std::string uuidString(std::string_view uuid) {
    std::string text = upper(uuid);
    if (text.size() == 36 && std::string_view(text).substr(8) == BASE_UUID_TAIL) {
        return text.starts_with("0000") ? text.substr(4, 4) : text.substr(0, 8);
    }
    return text;
}

// Reading a message: every step can fail on a message that is not what it claims; a failure ends the reading
// of that message and nothing more.
struct Reader {
    sd_bus_message* m;
    bool ok = true;

    bool check(int r) {
        if (r < 0) ok = false;
        return ok;
    }
    // An array or variant that is not there is as malformed as one of another type.
    bool enter(char type, const char* contents) {
        if (ok && sd_bus_message_enter_container(m, type, contents) <= 0) ok = false;
        return ok;
    }
    // Enters the next dictionary entry of the array it is in; false at the end.
    bool nextEntry(const char* contents) {
        if (!ok) return false;
        const int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, contents);
        check(r);
        return r > 0;
    }
    void exit() {
        if (ok) check(sd_bus_message_exit_container(m));
    }
    void skip() {
        if (ok) check(sd_bus_message_skip(m, nullptr));
    }
    const char* string(char type = SD_BUS_TYPE_STRING) {
        const char* value = nullptr;
        if (ok && check(sd_bus_message_read_basic(m, type, &value))) return value;
        return nullptr;
    }
    // The type inside the variant that comes next ("n", "a{qv}", ...).
    std::string_view variantContents() {
        char type = 0;
        const char* contents = nullptr;
        if (!ok || !check(sd_bus_message_peek_type(m, &type, &contents)) || type != SD_BUS_TYPE_VARIANT ||
            !contents) {
            ok = false;
            return {};
        }
        return contents;
    }
    // A variant holding an integer that fits 32 bits; anything else is skipped. BlueZ sends int16.
    std::optional<std::int32_t> integerVariant() {
        const std::string_view contents = variantContents();
        if (contents.size() != 1 || std::string_view("ynqi").find(contents[0]) == std::string_view::npos) {
            skip();
            return std::nullopt;
        }
        union {
            std::uint8_t y;
            std::int16_t n;
            std::uint16_t q;
            std::int32_t i;
        } value{};
        if (!enter(SD_BUS_TYPE_VARIANT, contents.data()) ||
            !check(sd_bus_message_read_basic(m, contents[0], &value))) {
            return std::nullopt;
        }
        exit();
        switch (contents[0]) {
            case 'y':
                return value.y;
            case 'n':
                return value.n;
            case 'q':
                return value.q;
            default:
                return value.i;
        }
    }
    std::optional<std::string> stringVariant() {
        if (variantContents() != "s") {
            skip();
            return std::nullopt;
        }
        const char* value = nullptr;
        if (!enter(SD_BUS_TYPE_VARIANT, "s") || !(value = string())) return std::nullopt;
        exit();
        return std::string(value);
    }
    std::optional<bool> boolVariant() {
        if (variantContents() != "b") {
            skip();
            return std::nullopt;
        }
        int value = 0;
        if (!enter(SD_BUS_TYPE_VARIANT, "b") || !check(sd_bus_message_read_basic(m, 'b', &value)))
            return std::nullopt;
        exit();
        return value != 0;
    }
    // Skips what is left of the container it is in, so that it can be left.
    void skipRest() {
        while (ok) {
            const int r = sd_bus_message_at_end(m, 0);
            if (!check(r) || r > 0) return;
            skip();
        }
    }
};

// Looks devices up by the path in the message, without copying it first.
struct PathHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view path) const { return std::hash<std::string_view>{}(path); }
};

// One pending method call: its reply handler, freed with the call's slot.
struct PendingCall {
    std::function<void(sd_bus_message*)> onReply;

    static int reply(sd_bus_message* m, void* userdata, sd_bus_error*) {
        static_cast<PendingCall*>(userdata)->onReply(m);
        return 0;
    }
    static void destroy(void* userdata) { delete static_cast<PendingCall*>(userdata); }
};

}  // namespace

class BluezWorker {
public:
    BluezWorker(central::CallbackGate& gate, std::string busAddress, std::string service, CentralLogger log,
                BluezTiming timing)
        : gate_(gate),
          busAddress_(std::move(busAddress)),
          service_(std::move(service)),
          log_(std::move(log)),
          timing_(timing) {
        wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread_ = std::thread([this] { run(); });
    }

    ~BluezWorker() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake();
        thread_.join();
        if (wakeFd_ >= 0) close(wakeFd_);
    }

    BluezWorker(const BluezWorker&) = delete;
    BluezWorker& operator=(const BluezWorker&) = delete;

    // Runs the command on the worker's thread; any thread.
    void post(std::function<void(BluezWorker&)> command) {
        {
            std::lock_guard lock(mutex_);
            commands_.push_back(std::move(command));
        }
        wake();
    }

    // `scan`: the gate's generation, which tags what this scan hears.
    void startScan(bool allowDuplicates, std::uint64_t scan);
    void stopScan();

private:
    using Clock = std::chrono::steady_clock;
    enum class Bluez { QUERYING, ABSENT, DENIED, PRESENT };
    enum class Call { NONE, FILTER, START, STOP };
    struct Adapter {
        std::uint64_t id = 0;  // a new one for each object: answers for an object gone are stale
        bool powered = false;
        bool discovering = false;
        // Our discovery on it: at most one call of ours is outstanding, and the next is decided on its answer.
        Call call = Call::NONE;
        bool ours = false;      // bluetoothd may hold a session of ours: a start was sent and no end is known
        bool answered = false;  // our start was answered with success (or InProgress: we hold one already)
        bool running = false;   // answered and Discovering: the session is held
        bool dropped = false;   // it ended while the adapter stayed on
        Clock::time_point answeredAt{};
        Clock::time_point runningSince{};
        Clock::time_point notBefore{};  // a stop that did not go through is tried again from then on
        int stopFailures = 0;
        int failedStarts = 0;  // in a row, while in use
    };
    struct Device {
        std::string adapter;     // the parent object's path
        std::string identifier;  // empty until the address is known
        std::optional<std::string> name;
        std::optional<std::vector<std::uint8_t>> manufacturerData;
        std::optional<std::vector<std::string>> uuids;
        std::optional<std::int32_t> txPower;
        std::optional<std::int32_t> rssi;
    };

    void run();
    void wake() {
        const std::uint64_t one = 1;
        if (wakeFd_ >= 0) {
            [[maybe_unused]] const auto written = write(wakeFd_, &one, sizeof one);
        }
    }
    bool runCommands();  // false once told to quit
    void connect();
    void lost(int error);
    static int onMessage(sd_bus_message* m, void* userdata, sd_bus_error*);
    void onSignal(sd_bus_message* m);
    void onOwnerChanged(const std::string& newOwner);
    void queryObjects();
    void readInterfaces(Reader& reader, const std::string& path, bool announced);
    bool readDeviceProperty(Reader& reader, Device& device, std::string_view name);
    void onPropertiesChanged(sd_bus_message* m);
    void onInterfacesRemoved(sd_bus_message* m);
    void deliver(const Device& device);
    void flush();
    CentralState baseState() const;
    // Brings the session in line with the owner's wish and the adapters, then reports the state if it changed.
    // Called after every change of either, after each answer, and on each turn of the thread (for the timers).
    void refreshState();
    void chooseAdapter();
    void reconcile(Clock::time_point now);
    std::optional<Clock::time_point> nextDeadline() const;
    void startOn(const std::string& path, Adapter& adapter);
    void stopOn(const std::string& path, Adapter& adapter);
    void onStartAnswer(const std::string& path, std::uint64_t id, sd_bus_message* reply);
    void onStopAnswer(const std::string& path, std::uint64_t id, sd_bus_message* reply);
    Adapter* adapterFor(const std::string& path, std::uint64_t id);
    void readAdapterProperty(Reader& reader, Adapter& adapter, const char* name);
    void adapterChanged(Adapter& adapter, bool wasDiscovering);
    void startFailed(Adapter& adapter, Clock::time_point now);
    Clock::duration backoff(int failures) const;
    bool sessionRunning() const;
    bool awaitingAnswer() const {
        return std::any_of(adapters_.begin(), adapters_.end(),
                           [](const auto& entry) { return entry.second.call != Call::NONE; });
    }
    bool call(const char* destination, const char* path, const char* iface, const char* member,
              std::function<void(sd_bus_message*)> onReply,
              const std::function<int(sd_bus_message*)>& append = {}, std::uint64_t timeoutUs = 0);
    bool adapterCall(const std::string& adapter, const char* member, std::function<void(sd_bus_message*)> onReply,
                     const std::function<int(sd_bus_message*)>& append = {}) {
        return call(service_.c_str(), adapter.c_str(), ADAPTER_IFACE.data(), member, std::move(onReply), append,
                    static_cast<std::uint64_t>(
                        std::chrono::duration_cast<std::chrono::microseconds>(timing_.replyTimeout).count()));
    }
    void logFault(const std::string& what, const sd_bus_error* error) {
        log_("bluez: " + what + " failed: " + errorText(error));
    }
    // Logs a fault of the session once per episode: from the first fault until a session has been held for a
    // while, or the owner's wish ends.
    void episodeFault(const std::string& kind, const std::string& line) {
        if (episodeLogged_.insert(kind).second) log_("bluez: " + line);
    }

    central::CallbackGate& gate_;
    const std::string busAddress_;
    const std::string service_;
    const CentralLogger log_;
    const BluezTiming timing_;

    int wakeFd_ = -1;
    std::mutex mutex_;
    std::deque<std::function<void(BluezWorker&)>> commands_;
    bool quit_ = false;

    // Everything below belongs to the worker's thread.
    sd_bus* bus_ = nullptr;
    std::string owner_;  // the unique name now owning the service; signals from anyone else are ignored
    Bluez bluez_ = Bluez::QUERYING;
    std::uint64_t queryGeneration_ = 0;        // answers to older queries are stale
    std::map<std::string, Adapter> adapters_;  // in path order
    std::uint64_t adapterIds_ = 0;
    std::unordered_map<std::string, Device, PathHash, std::equal_to<>> devices_;
    CentralState reported_ = CentralState::UNKNOWN;
    std::vector<central::Discovery> batch_;  // discoveries not yet handed to the callback queue

    bool wanted_ = false;  // the owner's wish to scan, until it stops or the state leaves powered on
    std::string use_;      // the adapter scanned on while wanted: kept while it stays powered
    int failures_ = 0;     // starts in a row that gave no lasting session
    Clock::time_point retryAt_{};                  // no start before then
    std::optional<Clock::time_point> unheldSince_;  // wanted, and no session held since then
    std::set<std::string> episodeLogged_;
    bool allowDuplicates_ = true;
    std::uint64_t scan_ = 0;  // the gate's generation of the scan asked for last

    std::thread thread_;  // last: it starts once everything above is in place
};

void BluezWorker::run() {
    pthread_setname_np(pthread_self(), "glintward.bluez");
    connect();
    for (;;) {
        if (!runCommands()) break;
        bool handled = false;
        while (bus_) {
            const int r = sd_bus_process(bus_, nullptr);
            if (r < 0) {
                lost(r);
                break;
            }
            if (r == 0) break;
            handled = true;
        }
        // The session's timers: a retry, a start waiting for Discovering, the resetting bound.
        if (const auto due = nextDeadline(); due && *due <= Clock::now()) refreshState();
        flush();
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
        int timeoutMs = -1;
        if (handled && !awaitingAnswer()) {
            // Commands still come through at once; bus traffic waits, except while a discovery call of ours is
            // outstanding, so that a start takes round trips and not gathering spells.
            timeoutMs = GATHER_MS;
        } else if (bus_) {
            fds[1] = {sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0};
            std::uint64_t until = 0;
            if (sd_bus_get_timeout(bus_, &until) >= 0 && until != UINT64_MAX) {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                const std::uint64_t nowUs =
                    static_cast<std::uint64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
                timeoutMs =
                    until <= nowUs
                        ? 0
                        : static_cast<int>(std::min<std::uint64_t>((until - nowUs + 999) / 1000, 60000));
            }
        }
        if (const auto due = nextDeadline()) {
            // At least a few milliseconds, so that a timer whose work must wait for something else cannot spin.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now()).count();
            const int dueMs = static_cast<int>(std::clamp<std::int64_t>(left, 5, 60000));
            timeoutMs = timeoutMs < 0 ? dueMs : std::min(timeoutMs, dueMs);
        }
        poll(fds, fds[1].fd >= 0 ? 2 : 1, timeoutMs);
        std::uint64_t count = 0;
        [[maybe_unused]] auto drained = read(wakeFd_, &count, sizeof count);
    }
    flush();
    if (bus_) bus_ = sd_bus_flush_close_unref(bus_);
}

bool BluezWorker::runCommands() {
    std::deque<std::function<void(BluezWorker&)>> commands;
    {
        std::lock_guard lock(mutex_);
        if (quit_) return false;
        commands.swap(commands_);
    }
    for (auto& command : commands) command(*this);
    return true;
}

void BluezWorker::connect() {
    // No file descriptors come with what BlueZ tells us; not asking for them makes each read cheaper.
    int r = sd_bus_new(&bus_);
    if (r >= 0) {
        r = busAddress_.empty() ? sd_bus_set_address(bus_, systemBusAddress().c_str())
                                : sd_bus_set_address(bus_, busAddress_.c_str());
    }
    if (r >= 0) r = sd_bus_set_bus_client(bus_, 1);
    if (r >= 0) r = sd_bus_negotiate_fds(bus_, 0);
    if (r >= 0) r = sd_bus_start(bus_);
    if (r < 0) {
        if (bus_) bus_ = sd_bus_unref(bus_);
        lost(r);
        return;
    }
    sd_bus_add_filter(bus_, nullptr, &BluezWorker::onMessage, this);
    // Every match is in place before the first query, so nothing that happens in between is missed.
    const std::string sender = "sender='" + service_ + "',";
    const std::string rules[] = {
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='"
        "NameOwnerChanged',"
        "arg0='" +
            service_ + "'",
        "type='signal'," + sender + "path='/',interface='org.freedesktop.DBus.ObjectManager'",
        "type='signal'," + sender +
            "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
            "arg0='org.bluez.Adapter1'",
        "type='signal'," + sender +
            "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
            "arg0='org.bluez.Device1'",
    };
    for (const std::string& rule : rules) {
        call(
            BUS_NAME, "/org/freedesktop/DBus", BUS_NAME, "AddMatch",
            [this](sd_bus_message* reply) {
                if (sd_bus_message_is_method_error(reply, nullptr))
                    logFault("AddMatch", sd_bus_message_get_error(reply));
            },
            [&rule](sd_bus_message* m) { return sd_bus_message_append_basic(m, 's', rule.c_str()); });
    }
    const std::uint64_t generation = ++queryGeneration_;
    call(
        BUS_NAME, "/org/freedesktop/DBus", BUS_NAME, "GetNameOwner",
        [this, generation](sd_bus_message* reply) {
            if (generation != queryGeneration_) return;  // NameOwnerChanged came first and told us more
            const char* owner = nullptr;
            if (!sd_bus_message_is_method_error(reply, nullptr) &&
                sd_bus_message_read_basic(reply, 's', &owner) > 0) {
                owner_ = owner;
                queryObjects();
            } else {
                // No BlueZ on the bus, or a bus that will not say.
                const bool denied = sd_bus_error_has_names(
                    sd_bus_message_get_error(reply), SD_BUS_ERROR_ACCESS_DENIED, SD_BUS_ERROR_AUTH_FAILED);
                bluez_ = denied ? Bluez::DENIED : Bluez::ABSENT;
                refreshState();
            }
        },
        [this](sd_bus_message* m) { return sd_bus_message_append_basic(m, 's', service_.c_str()); });
}

void BluezWorker::lost(int error) {
    log_("bluez: the bus connection failed: " + errorText(error));
    if (bus_) bus_ = sd_bus_flush_close_unref(bus_);
    owner_.clear();
    adapters_.clear();
    devices_.clear();
    bluez_ = error == -EACCES || error == -EPERM ? Bluez::DENIED : Bluez::ABSENT;
    refreshState();
}

int BluezWorker::onMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
    uint8_t type = 0;
    if (sd_bus_message_get_type(m, &type) >= 0 && type == SD_BUS_MESSAGE_SIGNAL) {
        static_cast<BluezWorker*>(userdata)->onSignal(m);
    }
    return 0;  // replies go on to their handlers
}

void BluezWorker::onSignal(sd_bus_message* m) {
    const char* sender = sd_bus_message_get_sender(m);
    if (sender == nullptr) return;
    if (sd_bus_message_is_signal(m, BUS_NAME, "NameOwnerChanged") > 0) {
        if (std::strcmp(sender, BUS_NAME) != 0) return;
        const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) > 0 && service_ == name) {
            onOwnerChanged(newOwner);
        }
        return;
    }
    if (owner_ != sender) return;
    if (sd_bus_message_is_signal(m, PROPERTIES_IFACE, "PropertiesChanged") > 0) {
        onPropertiesChanged(m);
    } else if (sd_bus_message_is_signal(m, OBJECT_MANAGER_IFACE, "InterfacesAdded") > 0) {
        Reader reader{m};
        const char* path = reader.string(SD_BUS_TYPE_OBJECT_PATH);
        if (path) readInterfaces(reader, path, true);
    } else if (sd_bus_message_is_signal(m, OBJECT_MANAGER_IFACE, "InterfacesRemoved") > 0) {
        onInterfacesRemoved(m);
    }
}

void BluezWorker::onOwnerChanged(const std::string& newOwner) {
    // A new owner is a new bluetoothd: its objects, and our scan and filter, are not those of the old one.
    ++queryGeneration_;
    owner_ = newOwner;
    adapters_.clear();
    devices_.clear();
    if (newOwner.empty()) {
        bluez_ = Bluez::ABSENT;
        refreshState();
    } else {
        bluez_ = Bluez::QUERYING;
        queryObjects();
    }
}

void BluezWorker::queryObjects() {
    const std::uint64_t generation = ++queryGeneration_;
    call(service_.c_str(), "/", OBJECT_MANAGER_IFACE, "GetManagedObjects",
         [this, generation](sd_bus_message* reply) {
             if (generation != queryGeneration_) return;
             if (sd_bus_message_is_method_error(reply, nullptr)) {
                 const sd_bus_error* error = sd_bus_message_get_error(reply);
                 if (sd_bus_error_has_names(error, SD_BUS_ERROR_ACCESS_DENIED, SD_BUS_ERROR_AUTH_FAILED)) {
                     bluez_ = Bluez::DENIED;
                 } else {
                     if (!sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN,
                                                 SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
                         logFault("GetManagedObjects", error);
                     }
                     bluez_ = Bluez::ABSENT;
                 }
                 refreshState();
                 return;
             }
             // The answer is newer than every signal before it, so it replaces what those built.
             adapters_.clear();
             devices_.clear();
             Reader reader{reply};
             if (reader.enter(SD_BUS_TYPE_ARRAY, "{oa{sa{sv}}}")) {
                 while (reader.nextEntry("oa{sa{sv}}")) {
                     const char* path = reader.string(SD_BUS_TYPE_OBJECT_PATH);
                     if (path) readInterfaces(reader, path, false);
                     reader.exit();
                 }
                 reader.exit();
             }
             if (!reader.ok) log_("bluez: GetManagedObjects answered with a malformed message");
             bluez_ = Bluez::PRESENT;
             refreshState();
         });
}

// Reads the a{sa{sv}} of one object; a device just announced that already carries RSSI is an advertisement.
void BluezWorker::readInterfaces(Reader& reader, const std::string& path, bool announced) {
    bool adaptersChanged = false;
    if (!reader.enter(SD_BUS_TYPE_ARRAY, "{sa{sv}}")) return;
    while (reader.nextEntry("sa{sv}")) {
        const char* iface = reader.string();
        if (iface == nullptr) break;
        if (iface == DEVICE_IFACE) {
            Device device;
            device.adapter = path.substr(0, path.rfind('/'));
            if (reader.enter(SD_BUS_TYPE_ARRAY, "{sv}")) {
                while (reader.nextEntry("sv")) {
                    const char* name = reader.string();
                    if (name) readDeviceProperty(reader, device, name);
                    reader.exit();
                }
                reader.exit();
            }
            if (!reader.ok) break;
            // A rotating random address comes back as a new object; an object added again starts afresh.
            Device& stored = devices_[path] = std::move(device);
            if (announced) deliver(stored);
        } else if (iface == ADAPTER_IFACE) {
            Adapter adapter;
            if (reader.enter(SD_BUS_TYPE_ARRAY, "{sv}")) {
                while (reader.nextEntry("sv")) {
                    const char* name = reader.string();
                    if (name) readAdapterProperty(reader, adapter, name);
                    reader.exit();
                }
                reader.exit();
            }
            if (!reader.ok) break;
            const auto known = adapters_.find(path);
            if (known != adapters_.end()) {
                // Announced again: what we know of our session there still holds.
                const bool wasDiscovering = known->second.discovering;
                known->second.powered = adapter.powered;
                known->second.discovering = adapter.discovering;
                adapterChanged(known->second, wasDiscovering);
            } else {
                adapter.id = ++adapterIds_;
                adapters_.emplace(path, adapter);
            }
            adaptersChanged = true;
        } else {
            reader.skip();
        }
        reader.exit();
    }
    reader.exit();
    if (adaptersChanged && announced) refreshState();
}

// Takes one property (positioned at its variant) into the device; true when it is one of those that mark a
// received advertisement and it came with the right type.
bool BluezWorker::readDeviceProperty(Reader& reader, Device& device, std::string_view name) {
    if (name == "RSSI" || name == "TxPower") {
        const auto value = reader.integerVariant();
        if (value) (name == "RSSI" ? device.rssi : device.txPower) = value;
        return value.has_value();
    }
    if (name == "ManufacturerData") {
        // The mock of Debian 12 sends aa{qv} here, for one: a value of another type is skipped, not read.
        if (reader.variantContents() != "a{qv}") {
            reader.skip();
            return false;
        }
        device.manufacturerData.reset();
        if (!reader.enter(SD_BUS_TYPE_VARIANT, "a{qv}") || !reader.enter(SD_BUS_TYPE_ARRAY, "{qv}"))
            return false;
        // Only the first entry, as CoreBluetooth gives one block of manufacturer data.
        if (reader.nextEntry("qv")) {
            std::uint16_t company = 0;
            reader.check(sd_bus_message_read_basic(reader.m, 'q', &company));
            if (reader.ok && reader.variantContents() == "ay") {
                const void* bytes = nullptr;
                std::size_t size = 0;
                if (reader.enter(SD_BUS_TYPE_VARIANT, "ay") &&
                    reader.check(sd_bus_message_read_array(reader.m, 'y', &bytes, &size))) {
                    std::vector<std::uint8_t> block{static_cast<std::uint8_t>(company & 0xFF),
                                                    static_cast<std::uint8_t>(company >> 8)};
                    const auto* first = static_cast<const std::uint8_t*>(bytes);
                    block.insert(block.end(), first, first + size);
                    device.manufacturerData = std::move(block);
                }
                reader.exit();
            } else {
                reader.skip();
            }
            reader.exit();
        }
        reader.skipRest();
        reader.exit();
        reader.exit();
        return reader.ok;
    }
    if (name == "ServiceData") {
        // It marks an advertisement; the scanner reads none of it.
        const bool wellTyped = reader.variantContents() == "a{sv}";
        reader.skip();
        return wellTyped && reader.ok;
    }
    if (name == "Name") {
        if (auto value = reader.stringVariant()) device.name = std::move(value);
    } else if (name == "Address") {
        if (auto value = reader.stringVariant()) device.identifier = central::peripheralIdentifier(*value);
    } else if (name == "UUIDs") {
        if (reader.variantContents() != "as") {
            reader.skip();
            return false;
        }
        std::vector<std::string> uuids;
        if (reader.enter(SD_BUS_TYPE_VARIANT, "as") && reader.enter(SD_BUS_TYPE_ARRAY, "s")) {
            while (reader.ok && sd_bus_message_at_end(reader.m, 0) == 0) {
                if (const char* uuid = reader.string()) uuids.push_back(uuidString(uuid));
            }
            reader.exit();
            reader.exit();
        }
        if (reader.ok) device.uuids = uuids.empty() ? std::nullopt : std::optional(std::move(uuids));
    } else {
        reader.skip();
    }
    return false;
}

void BluezWorker::onPropertiesChanged(sd_bus_message* m) {
    Reader reader{m};
    const char* iface = reader.string();
    const char* path = sd_bus_message_get_path(m);
    if (iface == nullptr || path == nullptr) return;
    if (iface == DEVICE_IFACE) {
        const auto it = devices_.find(std::string_view(path));
        if (it == devices_.end()) return;
        Device& device = it->second;
        bool advertised = false;
        if (reader.enter(SD_BUS_TYPE_ARRAY, "{sv}")) {
            while (reader.nextEntry("sv")) {
                const char* name = reader.string();
                if (name && readDeviceProperty(reader, device, name)) advertised = true;
                reader.exit();
            }
            reader.exit();
        }
        // StopDiscovery invalidates RSSI and TxPower: that only forgets them, it is no advertisement.
        if (reader.enter(SD_BUS_TYPE_ARRAY, "s")) {
            while (reader.ok && sd_bus_message_at_end(m, 0) == 0) {
                const char* name = reader.string();
                if (!name) break;
                const std::string_view invalidated = name;
                if (invalidated == "RSSI")
                    device.rssi.reset();
                else if (invalidated == "TxPower")
                    device.txPower.reset();
                else if (invalidated == "Name")
                    device.name.reset();
                else if (invalidated == "ManufacturerData")
                    device.manufacturerData.reset();
                else if (invalidated == "UUIDs")
                    device.uuids.reset();
            }
            reader.exit();
        }
        if (advertised && reader.ok) deliver(device);
    } else if (iface == ADAPTER_IFACE) {
        const auto it = adapters_.find(path);
        if (it == adapters_.end() || !reader.enter(SD_BUS_TYPE_ARRAY, "{sv}")) return;
        const bool wasDiscovering = it->second.discovering;
        while (reader.nextEntry("sv")) {
            const char* name = reader.string();
            if (name) readAdapterProperty(reader, it->second, name);
            reader.exit();
        }
        adapterChanged(it->second, wasDiscovering);
        refreshState();
    }
}

void BluezWorker::readAdapterProperty(Reader& reader, Adapter& adapter, const char* name) {
    if (std::strcmp(name, "Powered") == 0) {
        if (const auto powered = reader.boolVariant()) adapter.powered = *powered;
    } else if (std::strcmp(name, "Discovering") == 0) {
        if (const auto discovering = reader.boolVariant()) adapter.discovering = *discovering;
    } else {
        reader.skip();
    }
}

void BluezWorker::adapterChanged(Adapter& adapter, bool wasDiscovering) {
    if (!adapter.powered) {
        // Power-off ends every session; answers still on their way say NotReady.
        adapter.ours = adapter.answered = adapter.running = adapter.dropped = false;
        return;
    }
    if (!wasDiscovering || adapter.discovering || !adapter.running) return;
    // bluetoothd ended discovery with the adapter on (a controller error, a resume, another client's stop).
    const auto now = Clock::now();
    adapter.running = adapter.answered = false;
    adapter.dropped = true;
    if (now - adapter.runningSince >= timing_.stableAfter) {
        failures_ = 0;
        episodeLogged_.clear();
    }
    // The first drop after a lasting session restarts at once (after a moment for a power-off told in a
    // signal of its own to arrive); drops that come again soon back off as failed starts do.
    retryAt_ = now + (failures_ == 0 ? Clock::duration(DROP_SETTLE) : backoff(failures_));
    ++failures_;
}

void BluezWorker::onInterfacesRemoved(sd_bus_message* m) {
    Reader reader{m};
    const char* objectPath = reader.string(SD_BUS_TYPE_OBJECT_PATH);
    if (objectPath == nullptr || !reader.enter(SD_BUS_TYPE_ARRAY, "s")) return;
    const std::string path = objectPath;
    while (reader.ok && sd_bus_message_at_end(m, 0) == 0) {
        const char* iface = reader.string();
        if (!iface) return;
        if (iface == DEVICE_IFACE) {
            devices_.erase(path);
        } else if (iface == ADAPTER_IFACE && adapters_.erase(path) > 0) {
            // bluetoothd may drop an adapter without removing its devices first.
            std::erase_if(devices_, [&](const auto& entry) { return entry.second.adapter == path; });
            refreshState();
        }
    }
}

void BluezWorker::deliver(const Device& device) {
    if (!wanted_ || device.adapter != use_ || !device.rssi || device.identifier.empty()) return;
    batch_.push_back({Peripheral{device.identifier, device.name},
                      AdvertisementData{device.name, device.manufacturerData, device.uuids, device.txPower},
                      *device.rssi});
}

void BluezWorker::flush() {
    gate_.reportDiscoveries(scan_, std::exchange(batch_, {}));
}

CentralState BluezWorker::baseState() const {
    switch (bluez_) {
        case Bluez::QUERYING:
            return reported_ == CentralState::RESETTING ? CentralState::POWERED_ON : reported_;
        case Bluez::ABSENT:
            return CentralState::UNSUPPORTED;
        case Bluez::DENIED:
            return CentralState::UNAUTHORIZED;
        case Bluez::PRESENT:
            break;
    }
    if (adapters_.empty()) return CentralState::UNSUPPORTED;
    for (const auto& [path, adapter] : adapters_) {
        if (adapter.powered) return CentralState::POWERED_ON;
    }
    return CentralState::POWERED_OFF;
}

bool BluezWorker::sessionRunning() const {
    const auto it = adapters_.find(use_);
    return it != adapters_.end() && it->second.running;
}

BluezWorker::Adapter* BluezWorker::adapterFor(const std::string& path, std::uint64_t id) {
    const auto it = adapters_.find(path);
    return it != adapters_.end() && it->second.id == id ? &it->second : nullptr;
}

BluezWorker::Clock::duration BluezWorker::backoff(int failures) const {
    // The first retry waits the shortest time, each further one twice as long, up to the longest.
    Clock::duration delay = timing_.firstRetry;
    for (int i = 1; i < failures && delay < timing_.longestRetry; ++i) delay *= 2;
    return std::min<Clock::duration>(delay, timing_.longestRetry);
}

void BluezWorker::startFailed(Adapter& adapter, Clock::time_point now) {
    ++failures_;
    ++adapter.failedStarts;
    retryAt_ = now + backoff(failures_);
}

void BluezWorker::chooseAdapter() {
    if (!wanted_) {
        use_.clear();
        return;
    }
    const auto current = adapters_.find(use_);
    if (current != adapters_.end() && current->second.powered &&
        current->second.failedStarts < FAILED_STARTS_BEFORE_ANOTHER_ADAPTER) {
        return;
    }
    // The one in use is gone, off or failing: the next powered one in path order takes over (the first, when
    // none was in use), so that a broken adapter beside a working one cannot keep the scan from running.
    auto next = current == adapters_.end() ? adapters_.begin() : std::next(current);
    for (std::size_t tried = 0; tried < adapters_.size(); ++tried, ++next) {
        if (next == adapters_.end()) next = adapters_.begin();
        if (next->second.powered) break;
    }
    if (next == adapters_.end() || !next->second.powered) {
        use_.clear();
        return;
    }
    if (next->first != use_) {
        use_ = next->first;
        next->second.failedStarts = 0;
    }
}

void BluezWorker::reconcile(Clock::time_point now) {
    // Sessions on adapters not in use end first, so that a scan never runs on two.
    for (auto& [path, adapter] : adapters_) {
        if (path == use_ || adapter.call != Call::NONE || !adapter.ours || now < adapter.notBefore) continue;
        stopOn(path, adapter);
    }
    const auto it = adapters_.find(use_);
    if (it == adapters_.end()) return;
    Adapter& adapter = it->second;
    if (adapter.call != Call::NONE) return;  // decided on its answer
    if (adapter.answered && adapter.discovering && !adapter.running) {
        adapter.running = true;
        adapter.runningSince = now;
        adapter.failedStarts = 0;
        if (!episodeLogged_.empty()) episodeFault("running", "discovery is running again on " + use_);
    }
    if (adapter.running) return;
    if (adapter.answered) {
        // Answered, yet Discovering stays false: bluetoothd may still start it, else our session there is
        // ended and a fresh one started.
        if (now < adapter.answeredAt + timing_.replyTimeout) return;
        episodeFault("unconfirmed", "StartDiscovery on " + use_ + " was answered but discovery did not start");
        adapter.answered = false;
        startFailed(adapter, now);
        stopOn(use_, adapter);
        return;
    }
    if (now < retryAt_) return;
    if (adapter.dropped) {
        episodeFault("dropped", "discovery on " + use_ + " ended with the adapter on; starting it again");
        adapter.dropped = false;
    }
    startOn(use_, adapter);
}

std::optional<BluezWorker::Clock::time_point> BluezWorker::nextDeadline() const {
    std::optional<Clock::time_point> next;
    const auto consider = [&next](Clock::time_point at) {
        if (!next || at < *next) next = at;
    };
    for (const auto& [path, adapter] : adapters_) {
        if (adapter.call != Call::NONE) continue;
        if (path != use_) {
            if (adapter.ours) consider(adapter.notBefore);
        } else if (!adapter.running) {
            consider(adapter.answered ? adapter.answeredAt + timing_.replyTimeout : retryAt_);
        }
    }
    if (wanted_ && unheldSince_ && reported_ != CentralState::RESETTING &&
        baseState() == CentralState::POWERED_ON) {
        consider(*unheldSince_ + timing_.resettingAfter);
    }
    return next;
}

void BluezWorker::refreshState() {
    const auto now = Clock::now();
    const CentralState base = baseState();
    if (base != CentralState::POWERED_ON && bluez_ != Bluez::QUERYING) {
        // As with CoreBluetooth, the scan ends when the state leaves powered on; the owner starts the next.
        wanted_ = false;
    }
    chooseAdapter();
    reconcile(now);
    if (wanted_ && !sessionRunning()) {
        if (!unheldSince_) unheldSince_ = now;
    } else {
        unheldSince_.reset();
    }
    // Wanted on a powered adapter but no session for a while: the owner must not take silence for a quiet room.
    const bool resetting = base == CentralState::POWERED_ON && unheldSince_ &&
                           now - *unheldSince_ >= timing_.resettingAfter;
    const CentralState state = resetting ? CentralState::RESETTING : base;
    if (state != reported_) {
        reported_ = state;
        flush();  // what was heard before the change reaches the delegate before it
        gate_.reportState(state);
    }
}

void BluezWorker::startScan(bool allowDuplicates, std::uint64_t scan) {
    flush();  // heard for the scan before, if any
    scan_ = scan;
    // As with CoreBluetooth, a scan asked for while not powered on is ignored: the owner asks again when the
    // state it is told about becomes powered on. A scan asked for again while one is wanted (the owner's
    // answer to powered on after resetting) only changes the filter, if that.
    if (baseState() != CentralState::POWERED_ON) return;
    if (!wanted_) {
        wanted_ = true;
        failures_ = 0;
        retryAt_ = {};
        episodeLogged_.clear();
    } else if (allowDuplicates != allowDuplicates_) {
        if (const auto it = adapters_.find(use_); it != adapters_.end()) {
            it->second.answered = it->second.running = false;  // the next start sets the new filter
        }
    }
    allowDuplicates_ = allowDuplicates;
    refreshState();
}

void BluezWorker::startOn(const std::string& path, Adapter& adapter) {
    const std::uint64_t id = adapter.id;
    const int duplicateData = allowDuplicates_ ? 1 : 0;
    adapter.call = Call::FILTER;
    // The filter belongs to this client and bluetoothd drops it at power-off and restart: set it every time.
    const bool sent = adapterCall(
        path, "SetDiscoveryFilter",
        [this, path, id](sd_bus_message* reply) {
            Adapter* adapter = adapterFor(path, id);
            if (!adapter) return;
            adapter->call = Call::NONE;
            // Powered off or stopped meanwhile: whatever the answer, nothing more to do here.
            if (!adapter->powered || !wanted_ || path != use_) return refreshState();
            if (sd_bus_message_is_method_error(reply, nullptr)) {
                const sd_bus_error* error = sd_bus_message_get_error(reply);
                if (sd_bus_error_has_names(error, "org.bluez.Error.Failed", "org.bluez.Error.NotReady",
                                           "org.bluez.Error.InProgress", SD_BUS_ERROR_TIMEOUT,
                                           SD_BUS_ERROR_NO_REPLY)) {
                    episodeFault(std::string("SetDiscoveryFilter ") + error->name,
                                 "SetDiscoveryFilter failed: " + errorText(error) + "; trying again");
                    startFailed(*adapter, Clock::now());
                    return refreshState();
                }
                // A bluetoothd that refuses the filter itself: scanning unfiltered still hears the devices.
                episodeFault(std::string("SetDiscoveryFilter ") + error->name,
                             "SetDiscoveryFilter failed: " + errorText(error));
            }
            adapter->call = Call::START;
            adapter->ours = true;
            if (!adapterCall(path, "StartDiscovery", [this, path, id](sd_bus_message* reply) {
                    onStartAnswer(path, id, reply);
                })) {
                adapter->call = Call::NONE;
                episodeFault("send StartDiscovery", "StartDiscovery could not be sent; trying again");
                startFailed(*adapter, Clock::now());
            }
            refreshState();
        },
        [duplicateData](sd_bus_message* m) {
            return sd_bus_message_append(m, "a{sv}", 2, "Transport", "s", "le", "DuplicateData", "b",
                                         duplicateData);
        });
    if (!sent) {
        adapter.call = Call::NONE;
        episodeFault("send SetDiscoveryFilter", "SetDiscoveryFilter could not be sent; trying again");
        startFailed(adapter, Clock::now());
    }
}

void BluezWorker::onStartAnswer(const std::string& path, std::uint64_t id, sd_bus_message* reply) {
    Adapter* adapter = adapterFor(path, id);
    if (!adapter) return;
    adapter->call = Call::NONE;
    const auto now = Clock::now();
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    if (!sd_bus_message_is_method_error(reply, nullptr) ||
        sd_bus_error_has_name(error, "org.bluez.Error.InProgress")) {
        // InProgress: bluetoothd holds a session of ours already. Either way, it counts once Discovering is
        // true; a power-off since has ended it.
        adapter->answered = adapter->powered;
        adapter->ours = adapter->powered;
        adapter->answeredAt = now;
    } else {
        // No answer leaves it open whether bluetoothd started one for us; any other error started none.
        if (!sd_bus_error_has_names(error, SD_BUS_ERROR_TIMEOUT, SD_BUS_ERROR_NO_REPLY)) adapter->ours = false;
        // Powered off or stopped meanwhile: an ordinary answer.
        if (!adapter->powered || !wanted_ || path != use_) return refreshState();
        episodeFault(std::string("StartDiscovery ") + error->name,
                     "StartDiscovery failed: " + errorText(error) + "; trying again");
        startFailed(*adapter, now);
    }
    refreshState();
}

void BluezWorker::stopOn(const std::string& path, Adapter& adapter) {
    const std::uint64_t id = adapter.id;
    adapter.call = Call::STOP;
    adapter.answered = adapter.running = false;
    if (!adapterCall(path, "StopDiscovery",
                     [this, path, id](sd_bus_message* reply) { onStopAnswer(path, id, reply); })) {
        adapter.call = Call::NONE;
        episodeFault("send StopDiscovery", "StopDiscovery could not be sent; trying again");
        adapter.notBefore = Clock::now() + backoff(++adapter.stopFailures);
    }
}

void BluezWorker::onStopAnswer(const std::string& path, std::uint64_t id, sd_bus_message* reply) {
    Adapter* adapter = adapterFor(path, id);
    if (!adapter) return;
    adapter->call = Call::NONE;
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    if (sd_bus_message_is_method_error(reply, nullptr) && adapter->powered &&
        sd_bus_error_has_names(error, "org.bluez.Error.InProgress", SD_BUS_ERROR_TIMEOUT, SD_BUS_ERROR_NO_REPLY)) {
        // Our session may still stand: ask again, less often each time.
        episodeFault(std::string("StopDiscovery ") + error->name,
                     "StopDiscovery failed: " + errorText(error) + "; trying again");
        adapter->notBefore = Clock::now() + backoff(++adapter->stopFailures);
    } else {
        // Stopped, or none to stop (Failed: "No discovery started"; NotReady: powered off).
        if (sd_bus_message_is_method_error(reply, nullptr) &&
            !sd_bus_error_has_names(error, "org.bluez.Error.Failed", "org.bluez.Error.NotReady")) {
            logFault("StopDiscovery", error);
        }
        adapter->ours = false;
        adapter->stopFailures = 0;
    }
    refreshState();
}

void BluezWorker::stopScan() {
    wanted_ = false;
    refreshState();
}

bool BluezWorker::call(const char* destination, const char* path, const char* iface, const char* member,
                       std::function<void(sd_bus_message*)> onReply,
                       const std::function<int(sd_bus_message*)>& append, std::uint64_t timeoutUs) {
    if (!bus_) return false;
    sd_bus_message* message = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &message, destination, path, iface, member);
    if (r >= 0 && append) r = append(message);
    sd_bus_slot* slot = nullptr;
    auto* pending = new PendingCall{std::move(onReply)};
    if (r >= 0) r = sd_bus_call_async(bus_, &slot, message, &PendingCall::reply, pending, timeoutUs);
    sd_bus_message_unref(message);
    if (r < 0) {
        delete pending;
        // A discovery call that cannot be sent is retried, and logged once per episode like its failures.
        if (timeoutUs == 0) log_(std::string("bluez: ") + member + " failed: " + errorText(r));
        return false;
    }
    // The bus keeps the slot until the answer has come (or the bus goes), then frees the handler with it.
    sd_bus_slot_set_destroy_callback(slot, &PendingCall::destroy);
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
    return true;
}

}  // namespace detail

BluezCentral::BluezCentral(CentralDelegate& delegate, SerialQueue& callbackQueue, std::string busAddress,
                           std::string serviceName, CentralLogger logger, BluezTiming timing)
    : gate_(delegate, callbackQueue),
      worker_(std::make_unique<detail::BluezWorker>(gate_, std::move(busAddress), std::move(serviceName),
                                                    central::orStderr(std::move(logger)), timing)) {}

BluezCentral::~BluezCentral() {
    gate_.close();
    worker_.reset();
}

void BluezCentral::scanForPeripherals(bool allowDuplicates) {
    // The worker learns of the gate's changes in the order they were made.
    std::lock_guard lock(scanMutex_);
    const std::uint64_t scan = gate_.scanStarted(allowDuplicates);
    worker_->post(
        [allowDuplicates, scan](detail::BluezWorker& worker) { worker.startScan(allowDuplicates, scan); });
}

void BluezCentral::stopScan() {
    std::lock_guard lock(scanMutex_);
    gate_.scanStopped();
    worker_->post([](detail::BluezWorker& worker) { worker.stopScan(); });
}

}  // namespace glintward
