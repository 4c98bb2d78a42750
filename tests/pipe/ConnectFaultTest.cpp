// The pipe server over a ConnectNamedPipe that can be made to fail: the instance, and with
// it the pipe's name, is kept through a failed connect.
#include "ConnectDouble.h"
#include "PipeFixture.h"

using pipeclient::exchange;

namespace {

const std::string inactive = R"({"message":"inactive","running":false,"status":"ok"})";
const std::string activeRequest = R"({"command":"active"})";

TEST_F(PipeFixture, AFailedConnectKeepsTheInstanceAndServesTheNextClient) {
    connectdouble::reset();
    ASSERT_TRUE(server->start());
    ASSERT_EQ(inactive, exchange(activeRequest));
    // The loop waits for its next client already; the connect after that one fails.
    connectdouble::failNextConnect(ERROR_BAD_PIPE);
    ASSERT_EQ(inactive, exchange(activeRequest));
    EXPECT_EQ(inactive, exchange(activeRequest));
    server->stop();
    EXPECT_EQ(1, connectdouble::failedConnects());
    EXPECT_EQ(1, connectdouble::instancesCreated());
    EXPECT_EQ(3, count("PipeServer - Response sent, length: 52"));
}

} // namespace
