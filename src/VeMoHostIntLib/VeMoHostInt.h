#pragma once
#include <cstddef>

// Category of the start-up debug pause; starts as "VeMoHost", the entry point sets it.
constexpr size_t kHostCategoryChars = 100;
extern wchar_t g_szVeMoHostCategory[kHostCategoryChars];
