// How the client's sessions end (the sessions themselves are
// ClientApplication's, in session.cpp).
#pragma once

namespace client {

constexpr const char* closedText = "server closed the connection";
constexpr const char* lostText = "server lost";

// Why a receive shows the connection ended, or null while it lives.
const char* receiveEnd(int received);

}  // namespace client
