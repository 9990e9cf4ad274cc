// The web view's page, script and style, built into the program from
// tools/gateway/web (web/embed.cmake).
#pragma once

#include <string_view>

namespace gateway::web {

extern const std::string_view kMonitorHtml;
extern const std::string_view kMonitorJs;
extern const std::string_view kMonitorCss;

}  // namespace gateway::web
