#pragma once
#include <string>

// The live page: HTML, script and style, served by the web server. The page
// reads /api/state and /api/history and draws with the chart library the
// server hands out at /chart.js, so it needs nothing from the internet.
namespace vxpoll {

const std::string& WebPageHtml();
const std::string& WebPageScript();
const std::string& WebPageStyle();

}  // namespace vxpoll
