/* The one place that includes <windows.h>. Module and host stand-ins include this header instead, so
 * every file sees the same target version and the same trimmed set of declarations. */
#ifndef RW_INTERFACES_WIN32_H
#define RW_INTERFACES_WIN32_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601 /* Windows 7 */
#endif
#ifndef WINVER
#define WINVER _WIN32_WINNT
#endif

#include <windows.h>
#include <oleauto.h> /* IErrorInfo, GetErrorInfo, SetErrorInfo */

#endif
