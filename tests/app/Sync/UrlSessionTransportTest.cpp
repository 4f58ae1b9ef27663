#include "app/Sync/UrlSessionTransport.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/Sync/DefaultsSignatureStore.h"
#include "shared/sync/SignatureSyncClient.h"
#include "tests/platform/TempDir.h"

// Last: through zlib it defines FAR as nothing, which would eat Proximity::FAR in the headers above. Its
// package builds it with OpenSSL, which gives the HTTPS server.
#include <httplib.h>
#undef FAR

namespace glintward {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t LIMIT = UrlSessionTransport::MAX_BODY_BYTES;

// An HTTP server on 127.0.0.1 at a port the system picks, answering on its own threads.
class LocalServer {
public:
    LocalServer() {
        port_ = server.bind_to_any_port("127.0.0.1");  // listening from here on: requests queue up
        thread_ = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::yield();
    }
    ~LocalServer() {
        server.stop();
        thread_.join();
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    httplib::Server server;

private:
    int port_ = 0;
    std::thread thread_;
};

// A socket on 127.0.0.1 that takes connections (the system completes them from the backlog) and never
// answers.
class SilentListener {
public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd_, 16) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
        }
        port_ = ntohs(address.sin_port);
    }
    ~SilentListener() { ::close(fd_); }
    int fd() const { return fd_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/v1/signatures"; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// Takes one request on 127.0.0.1 and keeps its bytes as they came, then answers 204.
class RawCapture {
public:
    RawCapture() {
        const int port = std::stoi(listener_.url().substr(listener_.url().rfind(':') + 1));
        url_ = "http://127.0.0.1:" + std::to_string(port) + "/";
        thread_ = std::thread([this] {
            const int connection = ::accept(listener_.fd(), nullptr, nullptr);
            if (connection < 0) return;
            char buffer[4096];
            while (request_.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = ::read(connection, buffer, sizeof buffer);
                if (n <= 0) break;
                request_.append(buffer, static_cast<std::size_t>(n));
            }
            const std::string reply = "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n";
            (void)::write(connection, reply.data(), reply.size());
            ::close(connection);
        });
    }
    ~RawCapture() {
        if (thread_.joinable()) thread_.join();
    }
    const std::string& url() const { return url_; }
    // The request as received; call after the exchange.
    const std::string& request() {
        thread_.join();
        return request_;
    }

private:
    SilentListener listener_;
    std::string url_;
    std::string request_;
    std::thread thread_;
};

const HttpResponse FAILURE{-1, std::nullopt, {}};

class UrlSessionTransportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ::setenv("no_proxy", "127.0.0.1", 1); }  // never route the tests elsewhere

    void SetUp() override {
        auto& s = local.server;
        s.Get("/signatures", [](const httplib::Request& request, httplib::Response& response) {
            response.set_header("ETag", "\"v1\"");
            if (request.get_header_value("If-None-Match") == "\"v1\"") {
                response.status = 304;
                return;
            }
            response.set_content(R"({"version": 5})", "application/json");
        });
        s.Get("/missing", [](const httplib::Request&, httplib::Response& response) {
            response.status = 404;
            response.set_content("no such thing", "text/plain");
        });
        s.Get("/old", [](const httplib::Request&, httplib::Response& response) {
            response.set_header("X-Hop", "redirect");
            response.set_redirect("/new", 302);
        });
        s.Get("/new", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("arrived", "text/plain");
        });
        s.Get("/latin1", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("caf\xe9", "text/plain");
        });
        s.Get("/surrogate", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("\xed\xa0\x80", "text/plain");  // an encoded UTF-16 surrogate is not UTF-8
        });
        s.Get("/empty", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("", "text/plain");
        });
        s.Get("/cased", [](const httplib::Request&, httplib::Response& response) {
            response.set_header("ETAG", "W/\"tag\"");
            response.set_header("X-Dup", "first");
            response.set_header("x-dup", "second");
            response.set_content("ok", "text/plain");
        });
        s.Post("/fingerprints", [](const httplib::Request& request, httplib::Response& response) {
            response.status = 201;
            response.set_header("X-Got-Type", request.get_header_value("Content-Type"));
            response.set_content(request.body, "application/json");
        });
        s.Get("/sized", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(std::string(std::stoul(request.get_param_value("n")), 'a'), "text/plain");
        });
        s.Get("/chunked", [](const httplib::Request& request, httplib::Response& response) {
            const std::size_t n = std::stoul(request.get_param_value("n"));
            response.set_chunked_content_provider(
                "text/plain", [n](std::size_t offset, httplib::DataSink& sink) {
                    static const std::string block(64 * 1024, 'a');
                    if (offset >= n) {
                        sink.done();
                    } else {
                        sink.write(block.data(), std::min(block.size(), n - offset));
                    }
                    return true;
                });
        });
        // Announces 100 bytes, sends 10, then closes the connection.
        const auto truncated = [](const httplib::Request&, httplib::Response& response) {
            response.set_content_provider(100, "text/plain",
                                          [](std::size_t, std::size_t, httplib::DataSink& sink) {
                                              sink.write("0123456789", 10);
                                              return false;
                                          });
        };
        s.Get("/truncated", truncated);
        s.Post("/truncated", truncated);
    }

    LocalServer local;
    UrlSessionTransport transport;
};

TEST_F(UrlSessionTransportTest, ReturnsStatusHeadersAndBodyOfTheFinalResponse) {
    const auto ok = transport.get(local.url("/signatures"), {});
    EXPECT_EQ(ok.code, 200);
    EXPECT_EQ(ok.body, R"({"version": 5})");
    EXPECT_EQ(ok.headers.at("etag"), "\"v1\"");  // sent as "ETag"
    EXPECT_EQ(ok.headers.at("content-type"), "application/json");
    EXPECT_FALSE(ok.headers.count("ETag"));

    const auto notModified = transport.get(local.url("/signatures"), {{"If-None-Match", "\"v1\""}});
    EXPECT_EQ(notModified.code, 304);
    EXPECT_EQ(notModified.body, "");
    EXPECT_EQ(notModified.headers.at("etag"), "\"v1\"");

    const auto missing = transport.get(local.url("/missing"), {});
    EXPECT_EQ(missing.code, 404);  // an HTTP error is an answer, not a transport failure
    EXPECT_EQ(missing.body, "no such thing");

    const auto moved = transport.get(local.url("/old"), {});
    EXPECT_EQ(moved.code, 200);
    EXPECT_EQ(moved.body, "arrived");
    EXPECT_FALSE(moved.headers.count("x-hop"));  // the redirect's own headers are not the answer's
    EXPECT_FALSE(moved.headers.count("location"));

    const auto cased = transport.get(local.url("/cased"), {});
    EXPECT_EQ(cased.headers.at("etag"), "W/\"tag\"");
    EXPECT_EQ(cased.headers.at("x-dup"), "second");  // names differing only in case: the later one wins
    for (const auto& [name, value] : cased.headers) {
        for (char c : name) EXPECT_FALSE(c >= 'A' && c <= 'Z') << name;
    }
}

// An HTTPS server on 127.0.0.1 with a certificate made for the test, trusted through the file it names.
class LocalTlsServer {
public:
    LocalTlsServer() {
        const std::string command =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
            "-days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
            (dir_ / "key.pem").string() + "' -out '" + certificate() + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) ADD_FAILURE() << "openssl cannot make a certificate";
        server = std::make_unique<httplib::SSLServer>(certificate().c_str(), (dir_ / "key.pem").c_str());
        port_ = server->bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server->listen_after_bind(); });
        while (!server->is_running()) std::this_thread::yield();
    }
    ~LocalTlsServer() {
        server->stop();
        thread_.join();
    }
    std::string url(const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::string certificate() const { return (dir_ / "certificate.pem").string(); }

    std::unique_ptr<httplib::SSLServer> server;

private:
    testing::TempDir dir_;
    int port_ = 0;
    std::thread thread_;
};

TEST_F(UrlSessionTransportTest, FromHttpsARedirectIsFollowedOnlyToHttps) {
    LocalTlsServer tls;
    std::atomic<int> plainRequests{0};
    local.server.Get("/plain", [&](const httplib::Request&, httplib::Response& response) {
        ++plainRequests;
        response.set_content("answered in the clear", "text/plain");
    });
    const std::string plain = local.url("/plain");
    tls.server->Get("/to-plain", [&](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(plain, 302);
    });
    tls.server->Get("/to-tls", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/secure", 301);
    });
    tls.server->Get("/secure", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("answered over TLS", "text/plain");
    });
    UrlSessionTransport trusting(UrlSessionTransport::TIMEOUT_MS_DEFAULT,
                                 UrlSessionTransport::WAIT_MS_DEFAULT, tls.certificate());

    EXPECT_EQ(trusting.get(tls.url("/to-plain"), {}), FAILURE);
    EXPECT_EQ(plainRequests, 0);  // nothing was sent in the clear

    const auto secure = trusting.get(tls.url("/to-tls"), {});
    EXPECT_EQ(secure.code, 200);
    EXPECT_EQ(secure.body, "answered over TLS");

    // The system's trust is untouched by the test's certificate: the same server is refused without it.
    EXPECT_EQ(transport.get(tls.url("/secure"), {}), FAILURE);
    // A plain URL may still be redirected to TLS.
    local.server.Get("/up", [&](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(tls.url("/secure"), 302);
    });
    EXPECT_EQ(trusting.get(local.url("/up"), {}).body, "answered over TLS");
}

TEST_F(UrlSessionTransportTest, ABodyThatIsNotUtf8IsAbsentAnEmptyOneIsEmptyText) {
    for (const char* path : {"/latin1", "/surrogate"}) {
        const auto response = transport.get(local.url(path), {});
        EXPECT_EQ(response.code, 200) << path;
        EXPECT_EQ(response.body, std::nullopt) << path;
        EXPECT_EQ(response.headers.at("content-type"), "text/plain") << path;
    }
    const auto empty = transport.get(local.url("/empty"), {});
    EXPECT_EQ(empty.code, 200);
    EXPECT_EQ(empty.body, "");
}

TEST_F(UrlSessionTransportTest, PostsJsonAsUtf8) {
    const std::string report = R"({"name":"Ray-Ban Meta ✓","rssi":-64})";
    const auto response = transport.postJson(local.url("/fingerprints"), report);
    EXPECT_EQ(response.code, 201);
    EXPECT_EQ(response.headers.at("x-got-type"), "application/json");
    EXPECT_EQ(response.body, report);
}

TEST_F(UrlSessionTransportTest, SendsEachRequestHeaderButNoneThatWouldBreakTheRequestApart) {
    RawCapture capture;
    const auto response = transport.get(capture.url(), {
                                                           {"X-Tag", "\"v1\""},
                                                           {"X-Empty", ""},
                                                           {"X-Split", "a\r\nX-Injected: yes"},
                                                           {"X-Bare-Lf", "a\nb"},
                                                           {"X-Bad Name", "c"},
                                                           {"X-Colon:", "d"},
                                                       });
    EXPECT_EQ(response.code, 204);
    const std::string& request = capture.request();
    EXPECT_NE(request.find("\r\nX-Tag: \"v1\"\r\n"), std::string::npos) << request;
    EXPECT_NE(request.find("\r\nX-Empty:"), std::string::npos) << request;  // sent empty, not dropped
    for (const char* absent : {"X-Split", "X-Injected", "X-Bare-Lf", "X-Bad", "X-Colon", "\nb"}) {
        EXPECT_EQ(request.find(absent), std::string::npos) << absent << " in\n" << request;
    }
}

TEST_F(UrlSessionTransportTest, ABodyOverTheLimitFailsTheExchange) {
    struct Case {
        std::string path;
        std::size_t bytes;
        bool fits;
    };
    for (const auto& [path, bytes, fits] :
         {Case{"/sized", LIMIT, true}, Case{"/sized", LIMIT + 1, false}, Case{"/chunked", LIMIT, true},
          Case{"/chunked", LIMIT + 1, false}}) {
        SCOPED_TRACE(path + " " + std::to_string(bytes));
        const auto response = transport.get(local.url(path + "?n=" + std::to_string(bytes)), {});
        if (fits) {
            EXPECT_EQ(response.code, 200);
            EXPECT_EQ(response.body.value_or("").size(), bytes);
        } else {
            EXPECT_EQ(response, FAILURE);
        }
    }
}

TEST_F(UrlSessionTransportTest, EveryTransportFailureIsCodeMinusOneWithNothingElse) {
    const int closedPort = [] {
        LocalServer gone;
        const std::string url = gone.url("/");
        return std::stoi(url.substr(url.rfind(':') + 1));
    }();
    for (const std::string& url : std::vector<std::string>{
             local.url("/truncated"),  // cut short: never passed on
             "http://127.0.0.1:" + std::to_string(closedPort) + "/v1/signatures",  // connection refused
             "not a url",
             "http://[::1",
             "",
             "file:///etc/hostname",  // parses, but only HTTP is spoken
             std::string("http://127.0.0.1/\0tail", 21),
         }) {
        EXPECT_EQ(transport.get(url, {}), FAILURE) << url;
        EXPECT_EQ(transport.postJson(url, "{}"), FAILURE) << url;
    }
}

TEST_F(UrlSessionTransportTest, AServerThatNeverAnswersEndsWithinTheLimits) {
    SilentListener silent;
    struct Case {
        std::chrono::milliseconds timeout, wait;
        const char* bound;
    };
    for (const auto& [timeout, wait, bound] :
         {Case{10s, 300ms, "the wait"}, Case{1s, 60s, "the stall time-out"}}) {
        UrlSessionTransport limited(timeout, wait);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(limited.get(silent.url(), {}), FAILURE) << bound;
        EXPECT_LT(std::chrono::steady_clock::now() - start,
                  std::min<std::chrono::milliseconds>(timeout, wait) + 3s)
            << bound;
    }
}

TEST_F(UrlSessionTransportTest, CallsFromSeveralThreadsAtOnce) {
    constexpr int THREADS = 8, CALLS = 10;
    std::vector<std::thread> threads;
    std::vector<int> answered(THREADS, 0);
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < CALLS; ++i) {
                const auto response = i % 2 ? transport.postJson(local.url("/fingerprints"), "{}")
                                            : transport.get(local.url("/signatures"), {});
                if (response.code == (i % 2 ? 201 : 200)) ++answered[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < THREADS; ++t) EXPECT_EQ(answered[t], CALLS) << t;
}

// The two host pieces under the sync client: the tag of a 200 is stored as sent, the next sync revalidates
// with it and the server's 304 leaves the store as it was.
TEST_F(UrlSessionTransportTest, TheSyncClientRevalidatesThroughTheHostStore) {
    local.server.Get("/v1/signatures", [](const httplib::Request& request, httplib::Response& response) {
        response.set_header("ETag", "\"v7\"");
        if (request.get_header_value("If-None-Match") == "\"v7\"") {
            response.status = 304;
        } else {
            response.set_content(R"({"version": 7, "signatures": []})", "application/json");
        }
    });
    testing::TempDir dir;
    UserDefaults defaults(dir / "defaults.json");
    const std::string base = local.url("");
    SignatureSyncClient client(base, std::make_shared<DefaultsSignatureStore>(defaults),
                               std::make_shared<UrlSessionTransport>());

    const auto first = client.sync();
    ASSERT_TRUE(first.as<SyncResult::Updated>()) << first;
    EXPECT_EQ(first.as<SyncResult::Updated>()->database->version(), 7);
    EXPECT_EQ(defaults.stringForKey("signatures_bundle"), R"({"version": 7, "signatures": []})");
    EXPECT_EQ(defaults.stringForKey("signatures_etag"), "\"v7\"");

    EXPECT_TRUE(client.sync().as<SyncResult::NotModified>());
    EXPECT_EQ(defaults.stringForKey("signatures_etag"), "\"v7\"");
}

}  // namespace
}  // namespace glintward
