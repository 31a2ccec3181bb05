#pragma once
// The product version, set once in the top CMakeLists.txt (project VERSION) and handed
// to the code as VW_PRODUCT_VERSION, a string literal such as "1.1.1".

#ifndef VW_PRODUCT_VERSION
#error "VW_PRODUCT_VERSION comes from the build (CMakeLists.txt project VERSION)"
#endif
