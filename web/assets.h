// The pages' script, style sheet and icon, built into the program: the page
// loads nothing from anywhere else.
#pragma once

#include <string_view>

namespace dialscope::web {

struct Asset {
    std::string_view type;   // Content-Type
    std::string_view bytes;
};

// The asset served at path ("/static/app.js"), or null.
const Asset* FindAsset(std::string_view path);

}  // namespace dialscope::web
