#ifndef ZNHTTP_GLOBAL_H
#define ZNHTTP_GLOBAL_H

#include <QtCore/qglobal.h>

#if defined(ZNHTTP_LIBRARY)
#  define ZNHTTP_EXPORT Q_DECL_EXPORT
#else
#  define ZNHTTP_EXPORT Q_DECL_IMPORT
#endif

#endif // ZNHTTP_GLOBAL_H
