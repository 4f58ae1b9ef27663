#include "app/platform/BluezCentral.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
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
    BluezWorker(central::CallbackGate& gate, std::string busAddress, std::string service, CentralLogger log)
        : gate_(gate),
          busAddress_(std::move(busAddress)),
          service_(std::move(service)),
          log_(std::move(log)) {
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
    enum class Bluez { QUERYING, ABSENT, DENIED, PRESENT };
    struct Adapter {
        bool powered = false;
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
    CentralState currentState() const;
    void refreshState();
    void beginDiscovery();
    void call(const char* destination, const char* path, const char* iface, const char* member,
              std::function<void(sd_bus_message*)> onReply,
              const std::function<int(sd_bus_message*)>& append = {});
    void adapterCall(const std::string& adapter, const char* member,
                     std::function<void(sd_bus_message*)> onReply,
                     const std::function<int(sd_bus_message*)>& append = {}) {
        call(service_.c_str(), adapter.c_str(), ADAPTER_IFACE.data(), member, std::move(onReply), append);
    }
    void logFault(const std::string& what, const sd_bus_error* error) {
        log_("bluez: " + what + " failed: " + errorText(error));
    }

    central::CallbackGate& gate_;
    const std::string busAddress_;
    const std::string service_;
    const CentralLogger log_;

    int wakeFd_ = -1;
    std::mutex mutex_;
    std::deque<std::function<void(BluezWorker&)>> commands_;
    bool quit_ = false;

    // Everything below belongs to the worker's thread.
    sd_bus* bus_ = nullptr;
    std::string owner_;  // the unique name now owning the service; signals from anyone else are ignored
    Bluez bluez_ = Bluez::QUERYING;
    std::uint64_t queryGeneration_ = 0;        // answers to older queries are stale
    std::map<std::string, Adapter> adapters_;  // in path order: the first is the one used
    std::unordered_map<std::string, Device, PathHash, std::equal_to<>> devices_;
    CentralState reported_ = CentralState::UNKNOWN;
    std::vector<central::Discovery> batch_;  // discoveries not yet handed to the callback queue

    bool session_ = false;  // a scan is running on sessionAdapter_
    std::string sessionAdapter_;
    std::uint64_t sessionGeneration_ = 0;  // a stop or a new start makes pending discovery answers stale
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
        flush();
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
        int timeoutMs = -1;
        if (handled) {
            timeoutMs = GATHER_MS;  // commands still come through at once; bus traffic waits
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
                    if (name && std::strcmp(name, "Powered") == 0) {
                        adapter.powered = reader.boolVariant().value_or(false);
                    } else {
                        reader.skip();
                    }
                    reader.exit();
                }
                reader.exit();
            }
            if (!reader.ok) break;
            adapters_[path] = adapter;
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
        while (reader.nextEntry("sv")) {
            const char* name = reader.string();
            if (name && std::strcmp(name, "Powered") == 0) {
                if (const auto powered = reader.boolVariant()) it->second.powered = *powered;
            } else {
                reader.skip();
            }
            reader.exit();
        }
        refreshState();
    }
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
    if (!session_ || device.adapter != sessionAdapter_ || !device.rssi || device.identifier.empty()) return;
    batch_.push_back({Peripheral{device.identifier, device.name},
                      AdvertisementData{device.name, device.manufacturerData, device.uuids, device.txPower},
                      *device.rssi});
}

void BluezWorker::flush() {
    gate_.reportDiscoveries(scan_, std::exchange(batch_, {}));
}

CentralState BluezWorker::currentState() const {
    switch (bluez_) {
        case Bluez::QUERYING:
            return reported_;
        case Bluez::ABSENT:
            return CentralState::UNSUPPORTED;
        case Bluez::DENIED:
            return CentralState::UNAUTHORIZED;
        case Bluez::PRESENT:
            break;
    }
    if (adapters_.empty()) return CentralState::UNSUPPORTED;
    return adapters_.begin()->second.powered ? CentralState::POWERED_ON : CentralState::POWERED_OFF;
}

void BluezWorker::refreshState() {
    const CentralState state = currentState();
    if (session_) {
        if (state != CentralState::POWERED_ON) {
            // bluetoothd has ended the scan (power off, adapter or daemon gone); the owner starts the next
            // one.
            session_ = false;
            ++sessionGeneration_;
        } else if (adapters_.begin()->first != sessionAdapter_) {
            // Another adapter took over with the state still powered on: the owner sees no change, so the
            // scan carries on there.
            sessionAdapter_ = adapters_.begin()->first;
            beginDiscovery();
        }
    }
    if (state != reported_) {
        reported_ = state;
        flush();  // what was heard before the change reaches the delegate before it
        gate_.reportState(state);
    }
}

void BluezWorker::startScan(bool allowDuplicates, std::uint64_t scan) {
    flush();  // heard for the scan before, if any
    scan_ = scan;
    allowDuplicates_ = allowDuplicates;
    // As with CoreBluetooth, a scan asked for while not powered on is ignored: the owner asks again when the
    // state it is told about becomes powered on.
    if (currentState() != CentralState::POWERED_ON) return;
    session_ = true;
    sessionAdapter_ = adapters_.begin()->first;
    beginDiscovery();
}

void BluezWorker::beginDiscovery() {
    const std::uint64_t generation = ++sessionGeneration_;
    const std::string adapter = sessionAdapter_;
    const int duplicateData = allowDuplicates_ ? 1 : 0;
    // The filter belongs to this client and bluetoothd drops it at power-off and restart: set it every time.
    adapterCall(
        adapter, "SetDiscoveryFilter",
        [this, generation, adapter](sd_bus_message* reply) {
            if (generation != sessionGeneration_) return;  // stopped or started anew meanwhile
            if (sd_bus_message_is_method_error(reply, nullptr)) {
                const sd_bus_error* error = sd_bus_message_get_error(reply);
                if (sd_bus_error_has_name(error, "org.bluez.Error.NotReady"))
                    return;                             // powered off meanwhile
                logFault("SetDiscoveryFilter", error);  // scanning unfiltered still hears the devices
            }
            adapterCall(adapter, "StartDiscovery", [this](sd_bus_message* reply) {
                const sd_bus_error* error = sd_bus_message_get_error(reply);
                if (sd_bus_message_is_method_error(reply, nullptr) &&
                    !sd_bus_error_has_names(error, "org.bluez.Error.NotReady",
                                            "org.bluez.Error.InProgress")) {
                    logFault("StartDiscovery", error);
                }
            });
        },
        [duplicateData](sd_bus_message* m) {
            return sd_bus_message_append(m, "a{sv}", 2, "Transport", "s", "le", "DuplicateData", "b",
                                         duplicateData);
        });
}

void BluezWorker::stopScan() {
    if (!session_) return;
    session_ = false;
    ++sessionGeneration_;
    adapterCall(sessionAdapter_, "StopDiscovery", [this](sd_bus_message* reply) {
        const sd_bus_error* error = sd_bus_message_get_error(reply);
        if (sd_bus_message_is_method_error(reply, nullptr) &&
            !sd_bus_error_has_names(error, "org.bluez.Error.Failed", "org.bluez.Error.NotReady")) {
            logFault("StopDiscovery", error);
        }
    });
}

void BluezWorker::call(const char* destination, const char* path, const char* iface, const char* member,
                       std::function<void(sd_bus_message*)> onReply,
                       const std::function<int(sd_bus_message*)>& append) {
    if (!bus_) return;
    sd_bus_message* message = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &message, destination, path, iface, member);
    if (r >= 0 && append) r = append(message);
    sd_bus_slot* slot = nullptr;
    auto* pending = new PendingCall{std::move(onReply)};
    if (r >= 0) r = sd_bus_call_async(bus_, &slot, message, &PendingCall::reply, pending, 0);
    sd_bus_message_unref(message);
    if (r < 0) {
        delete pending;
        log_(std::string("bluez: ") + member + " failed: " + errorText(r));
        return;
    }
    // The bus keeps the slot until the answer has come (or the bus goes), then frees the handler with it.
    sd_bus_slot_set_destroy_callback(slot, &PendingCall::destroy);
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
}

}  // namespace detail

BluezCentral::BluezCentral(CentralDelegate& delegate, SerialQueue& callbackQueue, std::string busAddress,
                           std::string serviceName, CentralLogger logger)
    : gate_(delegate, callbackQueue),
      worker_(std::make_unique<detail::BluezWorker>(gate_, std::move(busAddress), std::move(serviceName),
                                                    central::orStderr(std::move(logger)))) {}

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
