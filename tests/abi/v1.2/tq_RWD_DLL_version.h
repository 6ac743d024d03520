/*
 * tq_RWD_DLL_version.h - the version of the tq_RWD_DLL headers (generated; included by
 * tq_RWD_DLL.h). tqrf_version() gives the version of the library actually loaded.
 */
#ifndef TQ_RWD_DLL_VERSION_H
#define TQ_RWD_DLL_VERSION_H

#define TQRF_VERSION_MAJOR 1
#define TQRF_VERSION_MINOR 2
#define TQRF_VERSION_PATCH 0
#define TQRF_VERSION_STRING "1.2.0"

#endif /* TQ_RWD_DLL_VERSION_H */
