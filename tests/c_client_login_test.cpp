#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>

#include "peers/discovery_service.h"
#include "peers/line_server.h"
#include "support/own_address.h"

extern char** environ;

namespace {

// The C application signs in against the local peers: discovery on an
// address of its own, the line server on an ephemeral port.
TEST(CClient, SignsInJoinsAndSignsOutAgainstTheLocalPeers) {
    nuvra_test::LineServer line;
    ASSERT_TRUE(line.ok());
    const std::string discovery_ip = nuvra_test::own_loopback_ip();
    nuvra_test::DiscoveryService discovery(discovery_ip);
    ASSERT_TRUE(discovery.ok());
    discovery.answer_ok({{"127.0.0.1", line.port()}});

    std::string line_addr = "127.0.0.1:" + std::to_string(line.port());
    const char* argv[] = {C_CLIENT, NUVRA_LIB, discovery_ip.c_str(), line_addr.c_str(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, C_CLIENT, nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
