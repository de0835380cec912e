// The whole line protocol in one include, for the units that speak most of it: the
// framing of input, Base64, UTF-8 repair, events, the writes and the exit statuses.
#pragma once

#include "base64.h"
#include "events.h"
#include "json_string.h"
#include "lines.h"
#include "output.h"
#include "status.h"
#include "utf8.h"
