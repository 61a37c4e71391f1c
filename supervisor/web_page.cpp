// A minimal page until the operator's page is built in.

#include "web_page.h"

namespace supervisor {

std::string_view web_page() {
    return R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>flow-supervisor</title></head>
<body><h1>flow-supervisor</h1>
<ul><li><a href="/metrics">/metrics</a></li><li><a href="/api/v1/flows">/api/v1/flows</a></li>
<li><a href="/api/v1/cards">/api/v1/cards</a></li><li><a href="/readyz">/readyz</a></li></ul>
</body></html>
)";
}

} // namespace supervisor
