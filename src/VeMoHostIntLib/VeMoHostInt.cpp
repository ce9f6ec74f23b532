#include "VeMoHostIntLib/VeMoHostInt.h"

wchar_t g_szVeMoHostCategory[kHostCategoryChars] = L"VeMoHost";
