// Thread-locals read on hot paths.
#pragma once

// The initial-exec model makes each read an offset from the thread pointer
// instead of a call into the dynamic loader. The few bytes these take fit the
// static TLS reserve the C library keeps for modules loaded after start-up.
#define NORV_HOT_TLS [[gnu::tls_model("initial-exec")]]
