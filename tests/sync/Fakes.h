#pragma once
// The one fake transport and the one in-memory store of the sync tests. Both write into a shared call log, so
// a test can check the order of calls across store and transport.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "shared/sync/HttpTransport.h"
#include "shared/sync/SignatureStore.h"

namespace glintward::fakes {

class CallLog {
public:
    void add(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

struct Request {
    std::string method;  // "GET" or "POST"
    std::string url;
    HttpHeaders headers;  // GET only
    std::string body;     // POST only
};

// Records every request and answers it through `respond`, which may block or throw. Set `respond` before any
// thread uses the transport.
class FakeTransport final : public HttpTransport {
public:
    explicit FakeTransport(std::shared_ptr<CallLog> log = std::make_shared<CallLog>())
        : log_(std::move(log)) {}

    std::function<HttpResponse(const Request&)> respond = [](const Request&) {
        return HttpResponse{200, {}, {}};
    };

    void answer(HttpResponse response) {
        respond = [response](const Request&) { return response; };
    }

    HttpResponse get(const std::string& url, const HttpHeaders& headers) override {
        return handle({"GET", url, headers, {}});
    }
    HttpResponse postJson(const std::string& url, const std::string& body) override {
        return handle({"POST", url, {}, body});
    }

    std::vector<Request> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    HttpResponse handle(Request request) {
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        log_->add(request.method);
        return respond(request);
    }

    std::shared_ptr<CallLog> log_;
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
};

// Holds what the host's store would persist; the fields are what it holds now.
class MemoryStore final : public SignatureStore {
public:
    explicit MemoryStore(std::shared_ptr<CallLog> log = std::make_shared<CallLog>()) : log_(std::move(log)) {}

    std::optional<std::string> bundle;
    std::optional<std::string> etag;

    std::optional<std::string> savedBundle() override {
        log_->add("savedBundle");
        return bundle;
    }
    std::optional<std::string> savedEtag() override {
        log_->add("savedEtag");
        return etag;
    }
    void save(const std::string& bundleJson, const std::optional<std::string>& newEtag) override {
        log_->add("save");
        bundle = bundleJson;
        etag = newEtag;
    }

private:
    std::shared_ptr<CallLog> log_;
};

}  // namespace glintward::fakes
