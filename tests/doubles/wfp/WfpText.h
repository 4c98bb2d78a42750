#pragma once

#include "WfpTypes.h"

#include <string>

namespace wfpdouble {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", as the platform writes a key.
std::string guidText(const GUID& guid);

// Wide text as ASCII, for journals and messages; anything else shows as '?'.
std::string asciiText(const std::wstring& text);

} // namespace wfpdouble
