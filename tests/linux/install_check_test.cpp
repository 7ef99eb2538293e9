// install_check_test.cpp - what /I takes as controlled by root alone, on fresh directory trees.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "linux/systemd_service.h"

#define INI "home/TarvixPOP2SMTP.ini"
#define LINKED "mv " INI " s/c && ln -s ../s/c " INI  // the configuration through a link

TEST(InstallCheckTest, RefusesWhatOthersThanRootCanChange) {
    // A change to the tree in d, and the path refused for it ("" is d itself; null: accepted).
    // clang-format off
    const char* cases[][2] = {{"true", nullptr}, {"rm " INI, nullptr}, {"chmod 1777 .", nullptr},
        {"chmod 777 .", ""}, {"chmod g+w bin/prog", "bin/prog"}, {"chmod o+w bin", "bin"},
        {"chmod 1777 home", "home"}, {"chown 65534 " INI, INI}, {"chmod 620 " INI, INI},
        {LINKED, nullptr}, {LINKED " && chown 65534 s/c", "s/c"}, {LINKED " && chown 65534 s", "s"},
        {LINKED " && chmod 1777 s && mv s/c s/d && ln -s d s/c && chown -h 65534 s/c", "s/c"},
        {"mkdir -m 777 o && mv home o/h && ln -s o/h home", "o"}};
    // clang-format on
    for (const auto& [change, refused] : cases) {
        char path[] = "/tmp/install_check_XXXXXX";
        const std::string d = ::mkdtemp(path);
        const std::string tree = "cd " + d + " && chmod 755 . && mkdir -m 755 bin home s && " +
                                 "install -m 755 /dev/null bin/prog && install -m 600 /dev/null " +
                                 INI " && " + change;
        ASSERT_EQ(std::system(tree.c_str()), 0) << change;
        const std::string want = refused ? d + (*refused ? "/" : "") + refused : "";
        EXPECT_EQ(service_detail::InstallRefusal(d + "/bin/prog", d + "/home"),
                  want.empty() ? "" : want + " can be written by others than root")
            << change;
        std::filesystem::remove_all(d);
    }
}
