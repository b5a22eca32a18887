#pragma once

// The network runtime: event loop, queues and timers, byte buffers, and the
// sockets built on them.
#include "byte_buffer.h"
#include "loop.h"
#include "net_util.h"
#include "resolve.h"
#include "shared_tick.h"
#include "socks5.h"
#include "tcp.h"
#include "udp.h"
