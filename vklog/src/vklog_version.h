// vklog_version: the library's version texts.
//
// Declared in vklog.h (vklog_get_version, vklog_get_simple_version); this
// header only names the version number. Constant data; any thread.
#ifndef VKLOG_VKLOG_VERSION_H
#define VKLOG_VKLOG_VERSION_H

#define VKLOG_VERSION_NUMBER "1.0.15"

#endif  // VKLOG_VKLOG_VERSION_H
