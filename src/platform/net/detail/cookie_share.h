// The libcurl share handle holding the shared cookie store (internal to lv_net).
#pragma once

#include <curl/curl.h>

namespace lv::net_detail {

// Created on first use, never destroyed; its lock callbacks make it usable from any thread.
CURLSH* cookieShare();

}  // namespace lv::net_detail
