#include "shared/detection/SignatureRepository.h"

namespace glintward {

SignatureRepository& SignatureRepository::shared() {
    // Never destroyed: a reader on another thread (a sync still waiting on the network) may outlive static
    // destruction at exit.
    static SignatureRepository* const instance = new SignatureRepository;
    return *instance;
}

SignatureRepository::SignatureRepository() : current_(SignatureDatabase::builtIn()) {}

bool SignatureRepository::update(const std::shared_ptr<const SignatureDatabase>& database) {
    if (!database) return false;
    auto inForce = current_.load();
    // compare_exchange_strong reloads inForce when another thread installed a catalogue in between.
    while (database->version() > inForce->version()) {
        if (current_.compare_exchange_strong(inForce, database)) return true;
    }
    return false;
}

void SignatureRepository::resetToBuiltIn() { current_.store(SignatureDatabase::builtIn()); }

}  // namespace glintward
