// The one way the kit wipes key material and clear texts. Private to the project.
//
// A plain memset before free or return may be optimised away; explicit_bzero may not. It needs
// no library beyond the C library, so the server modules that link no crypto library wipe the
// same way as the rest.
#ifndef TARNCRYPT_WIPESECRET_H
#define TARNCRYPT_WIPESECRET_H

#include <string.h>

#include <cstddef>

inline void wipeSecret(void* data, size_t size) {
    explicit_bzero(data, size);
}

#endif  // TARNCRYPT_WIPESECRET_H
