// Admission of at most ten sessions, and the stop that ends every session.
#include <array>
#include <string>

#include "tests/service/service_test_support.h"

namespace quarv::test {
namespace {

using AdmissionTest = ServerTest;

TEST_F(AdmissionTest, EleventhClientIsRefusedAndAPlaceFreedByQuitIsTakenAgain) {
  std::array<RawClient, 10> clients;
  // Connected in one burst: the places are counted as the sessions are admitted, not when
  // their threads get round to it.
  for (auto& client : clients) ASSERT_TRUE(client.Connect(port()));
  RawClient eleventh;
  ASSERT_TRUE(eleventh.Connect(port()));
  EXPECT_EQ(eleventh.ReadAll(20s), "503 Service Unavailable\r\n");
  // The ten were all admitted.
  for (auto& client : clients) {
    ASSERT_TRUE(client.Send("HELO\r\n"));
    EXPECT_EQ(client.ReadLine().substr(0, 4), "200 ");
  }
  ASSERT_TRUE(clients[3].Send("QUIT\r\n"));
  EXPECT_EQ(clients[3].ReadLine(), "200 GoodBye.\r\n");
  ASSERT_TRUE(clients[3].WaitClosed(10s));
  // The place is free once the client has seen its session end.
  RawClient next;
  ASSERT_TRUE(next.Connect(port()));
  ASSERT_TRUE(next.Login(kPassword));
  RawClient twelfth;
  ASSERT_TRUE(twelfth.Connect(port()));
  EXPECT_EQ(twelfth.ReadAll(20s), "503 Service Unavailable\r\n");
}

TEST_F(AdmissionTest, StopEndsEverySessionAlsoThoseWaitingForALine) {
  std::array<RawClient, 10> clients;
  for (std::size_t i = 0; i < clients.size(); ++i) {
    ASSERT_TRUE(clients[i].Connect(port()));
    // Half logged in, half still before the login: all sit in a read.
    if (i % 2 == 0) {
      ASSERT_TRUE(clients[i].Login(kPassword));
    } else {
      ASSERT_TRUE(clients[i].Send("HELO\r\n"));
      clients[i].ReadLine();
    }
  }
  server_.Stop();
  for (auto& client : clients) EXPECT_TRUE(client.WaitClosed(10s));
  RawClient late;
  EXPECT_FALSE(late.Connect(port()));
}

}  // namespace
}  // namespace quarv::test
