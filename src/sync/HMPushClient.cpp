#include "sync/HMPushClient.h"

HMXMPPClientDelegate::~HMXMPPClientDelegate() = default;

HMPushClient::~HMPushClient() = default;
