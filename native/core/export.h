// What the native core library exports: QMK_API marks a function or object the modules call.
#pragma once

#if defined(QMK_CORE_BUILDING)
#define QMK_API __attribute__((visibility("default")))
#else
#define QMK_API
#endif
