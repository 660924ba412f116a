#include "core/filecause.h"

#include <cerrno>

namespace vl {

bool diskFull(int errnum) {
#ifdef EDQUOT
    if (errnum == EDQUOT) return true;
#endif
    return errnum == ENOSPC;
}

std::string fileCause(int errnum) {
    if (diskFull(errnum)) return "el disco est\xE1 lleno";
    switch (errnum) {
    case EACCES:
    case EPERM:
        return "es de solo lectura o no hay permiso para cambiarlo";
    case EROFS:
        return "el disco o la carpeta compartida es de solo lectura";
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
