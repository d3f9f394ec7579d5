#ifndef PELIMAR_JPEG_CODEC_H
#define PELIMAR_JPEG_CODEC_H

/* The only place that calls libjpeg. libjpeg reports errors by longjmp; that
   jump starts and ends inside these C functions, so it never crosses a C++
   frame. Callbacks into C++ return a status and never throw. */

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns 1 when all bytes were written, 0 on failure. */
typedef int (*PelimarJpegWrite)(void* context, const unsigned char* data, size_t size);

/* Called once the header is read; returns the first (top) output row and
   sets *stride to the distance between rows (negative for bottom-up), or
   returns NULL to refuse the picture. */
typedef unsigned char* (*PelimarJpegAllocate)(void* context, int width, int height, ptrdiff_t* stride);

/* Encodes width x height pixels of 3 (BGR) or 4 (BGRX) bytes, starting at
   the top row, as a baseline colour JPEG of the given quality with the
   library's defaults. Returns 0, or 1 with message filled. */
int PelimarJpegCompress(const unsigned char* topRow, ptrdiff_t stride, int width, int height,
                        int bytesPerPixel, int quality, PelimarJpegWrite write, void* context, char* message,
                        size_t messageSize);

/* Decodes a whole JPEG image in memory at full size into rows of 3 (BGR) or
   4 (BGRX) bytes. Warnings (corrupt or truncated data) count as errors.
   Returns 0, or 1 with message filled; a refusal of allocate returns 2. */
int PelimarJpegDecompress(const unsigned char* data, size_t size, int bytesPerPixel,
                          PelimarJpegAllocate allocate, void* context, char* message, size_t messageSize);

/* Called once the header of a YCbCr 4:2:0 picture is read with its size and
   the size of each plane as the decoder fills it (luma, then the two
   chroma planes: whole blocks, so larger than the picture's). Sets each
   plane's first row and row length, or returns 0 to refuse the picture. */
typedef int (*PelimarJpegAllocatePlanes)(void* context, int width, int height, const int planeWidth[3],
                                         const int planeHeight[3], unsigned char* planes[3],
                                         ptrdiff_t strides[3]);

/* Decodes a whole JPEG image whose colours are YCbCr with the chroma at
   half the width and height (what the library's defaults write) into its
   planes as they are stored: full-range BT.601, no colours converted, no
   chroma upsampled. Returns 0, 1 with message filled, 2 when allocate
   refused, or 3 (nothing decoded) when the picture is stored otherwise. */
int PelimarJpegDecompressYuv420(const unsigned char* data, size_t size, PelimarJpegAllocatePlanes allocate,
                                void* context, char* message, size_t messageSize);

#ifdef __cplusplus
}
#endif

#endif
