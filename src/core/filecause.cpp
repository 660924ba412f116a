#include "core/filecause.h"

#include <cerrno>

namespace vl {

std::string fileCause(int errnum) {
    switch (errnum) {
    case EACCES:
    case EPERM:
        return "es de solo lectura o no hay permiso para cambiarlo";
    case EROFS:
        return "el disco o la carpeta compartida es de solo lectura";
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return "el disco est\xE1 lleno";
    case EISDIR:
        return "es una carpeta, no un fichero";
    case ENOENT:
    case ENOTDIR:
        return "la carpeta que lo contiene no existe";
    case EBUSY:
    case ETXTBSY:
        return "lo est\xE1 usando otro programa";
    default:
        return "es de solo lectura, el disco est\xE1 lleno o la carpeta compartida no admite "
               "cambios";
    }
}

} // namespace vl
