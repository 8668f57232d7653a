/* The reader library in miniature: C99, where every limit macro is there
   unasked. */
#include <stdint.h>
unsigned long largest(void) { return SIZE_MAX + INT32_MAX; }
