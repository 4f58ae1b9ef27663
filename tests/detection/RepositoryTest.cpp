#include "shared/detection/SignatureRepository.h"

#include <thread>

#include <gtest/gtest.h>

namespace glintward {
namespace {

std::shared_ptr<const SignatureDatabase> catalogue(std::int32_t version) {
    return std::make_shared<const SignatureDatabase>(version, std::vector<DeviceSignature>{}, std::vector<Pattern>{});
}

TEST(SignatureRepository, InstallsOnlyStrictlyHigherVersions) {
    SignatureRepository repo;
    EXPECT_EQ(repo.current()->version(), 0);
    EXPECT_EQ(repo.current()->signatures().size(), 4u);
    const auto snapshot = repo.current();

    EXPECT_FALSE(repo.update(catalogue(0)));
    EXPECT_FALSE(repo.update(catalogue(-1)));
    EXPECT_FALSE(repo.update(nullptr));
    EXPECT_TRUE(repo.update(catalogue(1)));
    EXPECT_FALSE(repo.update(catalogue(1)));
    EXPECT_FALSE(repo.update(repo.current()));
    EXPECT_TRUE(repo.update(catalogue(5)));
    EXPECT_EQ(repo.current()->version(), 5);
    EXPECT_EQ(snapshot->version(), 0);  // a reader keeps the catalogue it read

    repo.resetToBuiltIn();
    EXPECT_EQ(repo.current()->version(), 0);
    EXPECT_NE(repo.current(), snapshot);
    EXPECT_TRUE(repo.update(catalogue(1)));
}

TEST(SignatureRepository, ConcurrentOffersLeaveTheHighestInForce) {
    for (int round = 0; round < 50; ++round) {
        SignatureRepository repo;
        std::vector<std::thread> threads;
        for (int v = 1; v <= 8; ++v) {
            threads.emplace_back([&repo, v] {
                for (int k = 0; k < 20; ++k) repo.update(catalogue(v * 20 - k));
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(repo.current()->version(), 160);
    }
}

TEST(SignatureRepository, SharedInstanceIsOne) {
    EXPECT_EQ(&SignatureRepository::shared(), &SignatureRepository::shared());
    EXPECT_GE(SignatureRepository::shared().current()->version(), 0);
}

}  // namespace
}  // namespace glintward
