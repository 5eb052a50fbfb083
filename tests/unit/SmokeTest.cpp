#include <gtest/gtest.h>
#include "messages/CustomMessage.h"
TEST (Smoke, MessageCodes) { EXPECT_EQ (MessageCode::VersionInfo, 0x500D); }
