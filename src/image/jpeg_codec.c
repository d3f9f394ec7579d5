#include "image/jpeg_codec.h"

#include <setjmp.h>
#include <stdio.h>
#include <string.h>

#include <jerror.h>
#include <jpeglib.h>

/* What libjpeg may allocate for one picture: enough for large progressive
   images, while a lying header cannot claim gigabytes. */
#define PELIMAR_JPEG_MEMORY_LIMIT (512L * 1024L * 1024L)
#define PELIMAR_JPEG_OUT_BUFFER 65536

struct ErrorManager {
  struct jpeg_error_mgr pub;
  jmp_buf jump;
  char* message;
  size_t messageSize;
};

static void FailWithMessage(j_common_ptr info) {
  struct ErrorManager* err = (struct ErrorManager*)info->err;
  char text[JMSG_LENGTH_MAX];
  (*info->err->format_message)(info, text);
  if (err->messageSize > 0) snprintf(err->message, err->messageSize, "%s", text);
  longjmp(err->jump, 1);
}

static void EmitMessage(j_common_ptr info, int level) {
  /* A warning means corrupt or missing data: a picture decoded from it would
     show grey where the data ended, so it is refused instead. */
  if (level < 0) FailWithMessage(info);
}

static void InitErrors(struct ErrorManager* err, char* message, size_t messageSize) {
  jpeg_std_error(&err->pub);
  err->pub.error_exit = FailWithMessage;
  err->pub.emit_message = EmitMessage;
  err->message = message;
  err->messageSize = messageSize;
  if (messageSize > 0) message[0] = '\0';
}

struct Destination {
  struct jpeg_destination_mgr pub;
  PelimarJpegWrite write;
  void* context;
  JOCTET buffer[PELIMAR_JPEG_OUT_BUFFER];
};

static void InitDestination(j_compress_ptr info) {
  struct Destination* dest = (struct Destination*)info->dest;
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = PELIMAR_JPEG_OUT_BUFFER;
}

static boolean EmptyOutput(j_compress_ptr info) {
  struct Destination* dest = (struct Destination*)info->dest;
  if (!dest->write(dest->context, dest->buffer, PELIMAR_JPEG_OUT_BUFFER)) ERREXIT(info, JERR_FILE_WRITE);
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = PELIMAR_JPEG_OUT_BUFFER;
  return TRUE;
}

static void TermDestination(j_compress_ptr info) {
  struct Destination* dest = (struct Destination*)info->dest;
  size_t count = PELIMAR_JPEG_OUT_BUFFER - dest->pub.free_in_buffer;
  if (count > 0 && !dest->write(dest->context, dest->buffer, count)) ERREXIT(info, JERR_FILE_WRITE);
}

int PelimarJpegCompress(const unsigned char* topRow, ptrdiff_t stride, int width, int height,
                        int bytesPerPixel, int quality, PelimarJpegWrite write, void* context, char* message,
                        size_t messageSize) {
  struct jpeg_compress_struct info;
  struct ErrorManager err;
  struct Destination destination;

  memset(&info, 0, sizeof info);
  InitErrors(&err, message, messageSize);
  info.err = &err.pub;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&info);
    return 1;
  }
  jpeg_create_compress(&info);
  destination.pub.init_destination = InitDestination;
  destination.pub.empty_output_buffer = EmptyOutput;
  destination.pub.term_destination = TermDestination;
  destination.write = write;
  destination.context = context;
  info.dest = &destination.pub;

  info.image_width = (JDIMENSION)width;
  info.image_height = (JDIMENSION)height;
  info.input_components = bytesPerPixel;
  info.in_color_space = bytesPerPixel == 4 ? JCS_EXT_BGRX : JCS_EXT_BGR;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    /* Rows go to the encoder straight from the picture's memory. */
    JSAMPROW rows[16];
    JDIMENSION count = 0;
    while (count < 16 && info.next_scanline + count < info.image_height) {
      rows[count] = (JSAMPROW)(topRow + (ptrdiff_t)(info.next_scanline + count) * stride);
      ++count;
    }
    jpeg_write_scanlines(&info, rows, count);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return 0;
}

/* Starts a decoder on a picture in memory and reads its header; 0 with
   message filled when there is none. Errors jump to the caller's setjmp. */
static int ReadHeader(struct jpeg_decompress_struct* info, const unsigned char* data, size_t size, char* message,
                      size_t messageSize) {
  jpeg_create_decompress(info);
  info->mem->max_memory_to_use = PELIMAR_JPEG_MEMORY_LIMIT;
  jpeg_mem_src(info, data, (unsigned long)size);
  if (jpeg_read_header(info, TRUE) != JPEG_HEADER_OK) {
    snprintf(message, messageSize, "the file holds no picture");
    return 0;
  }
  return 1;
}

int PelimarJpegDecompress(const unsigned char* data, size_t size, int bytesPerPixel,
                          PelimarJpegAllocate allocate, void* context, char* message, size_t messageSize) {
  struct jpeg_decompress_struct info;
  struct ErrorManager err;
  unsigned char* volatile top = NULL;
  volatile ptrdiff_t stride = 0;

  memset(&info, 0, sizeof info);
  InitErrors(&err, message, messageSize);
  info.err = &err.pub;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&info);
    return 1;
  }
  if (!ReadHeader(&info, data, size, message, messageSize)) {
    jpeg_destroy_decompress(&info);
    return 1;
  }
  if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK) {
    snprintf(message, messageSize, "CMYK pictures are not supported");
    jpeg_destroy_decompress(&info);
    return 1;
  }
  info.out_color_space = bytesPerPixel == 4 ? JCS_EXT_BGRX : JCS_EXT_BGR;
  jpeg_calc_output_dimensions(&info);
  {
    ptrdiff_t rowStep = 0;
    top = allocate(context, (int)info.output_width, (int)info.output_height, &rowStep);
    stride = rowStep;
  }
  if (top == NULL) {
    jpeg_destroy_decompress(&info);
    return 2;
  }
  jpeg_start_decompress(&info);
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[16];
    JDIMENSION count = 0;
    while (count < 16 && info.output_scanline + count < info.output_height) {
      rows[count] = (JSAMPROW)(top + (ptrdiff_t)(info.output_scanline + count) * stride);
      ++count;
    }
    jpeg_read_scanlines(&info, rows, count);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return 0;
}

int PelimarJpegDecompressYuv420(const unsigned char* data, size_t size, PelimarJpegAllocatePlanes allocate,
                                void* context, char* message, size_t messageSize) {
  struct jpeg_decompress_struct info;
  struct ErrorManager err;
  unsigned char* planes[3] = {NULL, NULL, NULL};
  ptrdiff_t strides[3] = {0, 0, 0};
  int planeWidth[3], planeHeight[3], k;

  memset(&info, 0, sizeof info);
  InitErrors(&err, message, messageSize);
  info.err = &err.pub;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&info);
    return 1;
  }
  if (!ReadHeader(&info, data, size, message, messageSize)) {
    jpeg_destroy_decompress(&info);
    return 1;
  }
  if (info.jpeg_color_space != JCS_YCbCr || info.num_components != 3 || info.comp_info[0].h_samp_factor != 2 ||
      info.comp_info[0].v_samp_factor != 2 || info.comp_info[1].h_samp_factor != 1 ||
      info.comp_info[1].v_samp_factor != 1 || info.comp_info[2].h_samp_factor != 1 ||
      info.comp_info[2].v_samp_factor != 1) {
    jpeg_destroy_decompress(&info);
    return 3;
  }
  info.out_color_space = JCS_YCbCr;
  info.raw_data_out = TRUE;
  info.do_fancy_upsampling = FALSE;
  jpeg_calc_output_dimensions(&info);
  /* The decoder writes whole blocks: 16 luma rows and 8 of each chroma
     plane at a time, every row as wide as its blocks. */
  for (k = 0; k < 3; ++k) {
    planeWidth[k] = (int)(info.comp_info[k].width_in_blocks * DCTSIZE);
    planeHeight[k] = (int)(info.total_iMCU_rows * (JDIMENSION)info.comp_info[k].v_samp_factor * DCTSIZE);
  }
  if (!allocate(context, (int)info.output_width, (int)info.output_height, planeWidth, planeHeight, planes,
                strides)) {
    jpeg_destroy_decompress(&info);
    return 2;
  }
  jpeg_start_decompress(&info);
  while (info.output_scanline < info.output_height) {
    JSAMPROW luma[2 * DCTSIZE], blue[DCTSIZE], red[DCTSIZE];
    JSAMPARRAY rows[3];
    const JDIMENSION first = info.output_scanline;
    int i;
    for (i = 0; i < 2 * DCTSIZE; ++i) luma[i] = planes[0] + (ptrdiff_t)(first + (JDIMENSION)i) * strides[0];
    for (i = 0; i < DCTSIZE; ++i) {
      blue[i] = planes[1] + (ptrdiff_t)(first / 2 + (JDIMENSION)i) * strides[1];
      red[i] = planes[2] + (ptrdiff_t)(first / 2 + (JDIMENSION)i) * strides[2];
    }
    rows[0] = luma;
    rows[1] = blue;
    rows[2] = red;
    if (jpeg_read_raw_data(&info, rows, 2 * DCTSIZE) == 0) ERREXIT(&info, JERR_INPUT_EOF);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return 0;
}
