// Every text the filter shows its users, in every host: its version, its
// function's name, and the messages with which creating it or making a frame
// fails. Users' scripts
// match these texts, so they never change.
#pragma once

#define BITGRADE_VERSION "Bitgrade ver 0.1"
#define BITGRADE_FUNCTION "Bitgrade"  // the script function's name in every host

#define BITGRADE_MSG_NOT_YV12 "levelize: Requires YV12 input"
#define BITGRADE_MSG_BAD_SSEOPT "levelize: \"sseopt\" should be 0 to 3.(default:0)"
#define BITGRADE_MSG_WIDTH16 "levelize: Width should be a multiple of 16."
#define BITGRADE_MSG_NO_SSE2 "levelize: \"sseopt\" 2 needs SSE2, which this processor lacks; use sseopt 0 or 1."
#define BITGRADE_MSG_NO_SSE41 \
    "levelize: \"sseopt\" 3 needs SSE4.1 and SSE3, which this processor lacks; use sseopt 0, 1 or 2."
// Where a newer host takes more than YV12: what it takes, and the way there.
#define BITGRADE_MSG_VS_FORMAT \
    "levelize: Requires integer YUV or GRAY input of 8 to 16 bits; convert with resize.Point(format=vs.YUV420P16)."
#define BITGRADE_MSG_VS_RGB \
    "levelize: RGB input is not taken; convert to YUV with resize.Point(format=vs.YUV444P16, matrix_s=\"709\")."
#define BITGRADE_MSG_AVS_FORMAT                                                                     \
    "levelize: Requires planar Y or YUV 4:2:0, 4:2:2 or 4:4:4 input of 8 to 16 bits; convert with " \
    "ConvertToYUV444() or ConvertBits(16)."
#define BITGRADE_MSG_NO_FRAME "levelize: The source clip gave no frame."
#define BITGRADE_MSG_VARYING \
    "levelize: The clip's format or size changes from frame to frame; give it one format and size first."
#define BITGRADE_MSG_BAD_DEPTH "levelize: \"depth\" should be 8, 10, 12 or 16."
#define BITGRADE_MSG_BAD_DITHER "levelize: \"dither\" should be ordered, diffusion or none."
#define BITGRADE_MSG_BAD_BITS "levelize: \"bits\" should be at least 8 and at most the clip's bits per sample."
#define BITGRADE_MSG_MAXSPAN_WIDE "levelize: \"maxspan\" should be at most 127."
#define BITGRADE_MSG_MAXSPAN_PLAIN \
    "levelize: \"maxspan\" needs \"sseopt\" 0, 2 or 3; the plain converter has one window."
#define BITGRADE_MSG_PLATEAUS_PLAIN \
    "levelize: \"plateaus\" needs \"sseopt\" 0, 2 or 3; the plain converter has one window."
#define BITGRADE_MSG_PLATEAUS_SPAN "levelize: \"plateaus\" needs a \"span\" of 1 to 31."
#define BITGRADE_MSG_PLATEAUS_DEBUG "levelize: \"plateaus\" has no map; leave out \"debug\"."
#define BITGRADE_MSG_NO_MEMORY "levelize: Not enough memory for the conversion buffers; use a smaller frame or span."
