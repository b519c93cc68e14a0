// The Core's version text: "halyard/<version> libcurl/<version>".
#pragma once

namespace halyard {
const char* version_string();
}
