// The operator's page served at GET /: one self-contained HTML document
// (style and script inline, nothing fetched from elsewhere).
#ifndef SUPERVISOR_WEB_PAGE_H
#define SUPERVISOR_WEB_PAGE_H

#include <string_view>

namespace supervisor {

std::string_view web_page();

} // namespace supervisor

#endif // SUPERVISOR_WEB_PAGE_H
