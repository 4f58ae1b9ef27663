#pragma once
// The one catalogue in force for the whole process. Readers ask it afresh each time; a catalogue replaces the
// one in force only when its version is strictly higher, so a stale or repeated catalogue never pushes out a
// newer one.

#include <atomic>
#include <memory>

#include "shared/detection/SignatureDatabase.h"

namespace glintward {

class SignatureRepository {
public:
    // The process-wide instance, created (with the built-in catalogue) on first use.
    static SignatureRepository& shared();

    // A holder of its own, starting with the built-in catalogue.
    SignatureRepository();

    // The catalogue in force; the caller keeps it as a snapshot.
    std::shared_ptr<const SignatureDatabase> current() const { return current_.load(); }

    // Installs the catalogue when its version is strictly higher than the one in force.
    bool update(const std::shared_ptr<const SignatureDatabase>& database);

    // Puts a new built-in catalogue in force, whatever was there.
    void resetToBuiltIn();

private:
    std::atomic<std::shared_ptr<const SignatureDatabase>> current_;
};

}  // namespace glintward
