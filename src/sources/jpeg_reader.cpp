// JPEG sources (.jpg), read whole through libjpeg: full size, fast integer
// DCT, quantised by the decoder's two-pass quantiser to 256 colours without
// dithering, so that a JPEG enters as an 8-bit palettised picture.
//
// Every libjpeg call runs inside one function that has set a jump point; the
// replaced error exit jumps back there, so a corrupt file abandons the load
// instead of ending the program. Objects with destructors live in the caller's
// frame (the decoder context) and are only touched through pointers, so the
// jump never skips a destructor.
#include "sources/jpeg_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>

// jpeglib.h needs size_t and FILE declared first; jerror.h needs jpeglib.h.
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "common/expansion_limit.h"
#include "common/text.h"
#include "sources/source_error.h"
#include "sources/source_formats.h"
#include "sources/whole_image_limit.h"

namespace tessary {

namespace {

struct JpegErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX] = {};  // libjpeg's text for the fatal error
    bool dataLost = false;  // a warning that means pixels were invented
    char lostMessage[JMSG_LENGTH_MAX] = {};
    int lostFromRow = 0;  // the first row whose data is missing or corrupt
};

// Fatal errors: keep libjpeg's text and go back to the jump point. libjpeg
// has already stopped using the decompressor at this point; the caller
// destroys it.
void ErrorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

// The first image row of the block row the decoder is reading now.
int RowBeingRead(j_common_ptr cinfo) {
    if (cinfo->is_decompressor == 0) return 0;
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    return int(d->input_iMCU_row) * d->max_v_samp_factor * DCTSIZE;
}

// Nothing is printed. Warnings that mean the decoder filled in pixels it
// could not read (a truncated or damaged entropy-coded segment) are noted,
// with where they start, so that the image counts as damaged instead of
// giving a picture with invented parts.
void EmitMessage(j_common_ptr cinfo, int msgLevel) {
    if (msgLevel >= 0) return;  // trace messages
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    switch (cinfo->err->msg_code) {
        case JWRN_JPEG_EOF:
        case JWRN_HIT_MARKER:
        case JWRN_HUFF_BAD_CODE:
#if JPEG_LIB_VERSION >= 70 || defined(C_ARITH_CODING_SUPPORTED) || defined(D_ARITH_CODING_SUPPORTED)
        case JWRN_ARITH_BAD_CODE:
#endif
        case JWRN_MUST_RESYNC:
        case JWRN_BOGUS_PROGRESSION:
        case JWRN_NOT_SEQUENTIAL:
            if (!err->dataLost) {
                err->dataLost = true;
                (*cinfo->err->format_message)(cinfo, err->lostMessage);
                err->lostFromRow = RowBeingRead(cinfo);
            }
            break;
        default:
            break;
    }
    cinfo->err->num_warnings++;
}

void OutputMessage(j_common_ptr) {}

// One decode: the decompressor, its error manager and the open file. The
// destructor releases all of them on every path out.
struct JpegDecoder {
    jpeg_decompress_struct cinfo{};
    JpegErrorManager err{};
    std::FILE* file = nullptr;
    uint64_t fileBytes = 0;  // UINT64_MAX when the system cannot tell
    std::string openError;  // why the file could not be opened
    bool created = false;

    ~JpegDecoder() {
        if (created) jpeg_destroy_decompress(&cinfo);
        if (file) std::fclose(file);
    }
};

bool OpenDecoder(JpegDecoder& decoder, const std::string& path) {
    decoder.file = std::fopen(path.c_str(), "rb");
    if (!decoder.file) {
        decoder.openError = std::strerror(errno);
        return false;
    }
    // The size weighs what the header states; a file whose size the system
    // cannot tell is not weighed by it.
    struct stat status {};
    decoder.fileBytes = UINT64_MAX;
    if (fstat(fileno(decoder.file), &status) == 0 && S_ISREG(status.st_mode)) {
        decoder.fileBytes = uint64_t(status.st_size);
        if (decoder.fileBytes == 0) {
            decoder.openError = "file is empty";
            return false;
        }
    }
    decoder.cinfo.err = jpeg_std_error(&decoder.err.pub);
    decoder.err.pub.error_exit = ErrorExit;
    decoder.err.pub.emit_message = EmitMessage;
    decoder.err.pub.output_message = OutputMessage;
    return true;
}

// Adobe files store CMYK inverted (0 = full ink); others store it plainly.
// Either way the colour is (1 - C)(1 - K), (1 - M)(1 - K), (1 - Y)(1 - K).
void CmykRowToBgr(const uint8_t* cmyk, uint8_t* bgr, int width, bool inverted) {
    for (int x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        unsigned c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        bgr[0] = uint8_t((y * k + 127) / 255);
        bgr[1] = uint8_t((m * k + 127) / 255);
        bgr[2] = uint8_t((c * k + 127) / 255);
    }
}

// The 8 x 8 blocks of every component. A component sampled below the full
// resolution has fewer of them than the image has blocks.
uint64_t BlocksInImage(const jpeg_decompress_struct* cinfo) {
    uint64_t blocks = 0;
    const int maxH = std::max(cinfo->max_h_samp_factor, 1);
    const int maxV = std::max(cinfo->max_v_samp_factor, 1);
    for (int ci = 0; ci < cinfo->num_components; ++ci) {
        const jpeg_component_info& c = cinfo->comp_info[ci];
        const uint64_t columns = (uint64_t(cinfo->image_width) * uint64_t(c.h_samp_factor) + uint64_t(maxH) - 1) /
                                 uint64_t(maxH);
        const uint64_t rows = (uint64_t(cinfo->image_height) * uint64_t(c.v_samp_factor) + uint64_t(maxV) - 1) /
                              uint64_t(maxV);
        blocks += ((columns + DCTSIZE - 1) / DCTSIZE) * ((rows + DCTSIZE - 1) / DCTSIZE);
    }
    return blocks;
}

// A file of a few bytes can state any size, and libjpeg makes up the blocks
// its data does not hold (with a warning) instead of stopping. Huffman coding
// spends at least one bit on every block's DC difference and, in a sequential
// file, one more on its AC coefficients (at least the end-of-block code), so
// a file smaller than that minimum cannot hold the size it states. Such a file
// is refused before anything is allocated for its pixels. Arithmetic coding
// can code a plain block in a small fraction of a bit, so for it the file size
// bounds nothing and only the whole-image limit applies.
bool WeighCodedSize(const jpeg_decompress_struct* cinfo, uint64_t fileBytes, char* reason) {
    if (cinfo->arith_code) return true;
    const ExpansionLimit& limit = cinfo->progressive_mode ? kJpegProgressiveBlocks : kJpegSequentialBlocks;
    const uint64_t blocks = BlocksInImage(cinfo);
    if (limit.Allows(fileBytes, blocks)) return true;
    const uint64_t leastBytes = (blocks + limit.units - 1) / limit.units;
    const std::string text = "a picture of " + FormatThousands(cinfo->image_width) + " x " +
                             FormatThousands(cinfo->image_height) + " pixels needs at least " +
                             FormatThousands(int64_t(leastBytes)) + " bytes of coded data; the file has " +
                             FormatThousands(int64_t(fileBytes));
    std::snprintf(reason, JMSG_LENGTH_MAX, "%s", text.c_str());
    return false;
}

// Progressive and multi-scan files are decoded from coefficient buffers that
// hold the whole image: two bytes for each of a block's 64 coefficients, for
// every component, beside the picture.
int CoefficientBitsPerPixel(const jpeg_decompress_struct* cinfo) {
    if (!jpeg_has_multiple_scans(const_cast<j_decompress_ptr>(cinfo))) return 0;
    const uint64_t pixels = uint64_t(cinfo->image_width) * uint64_t(cinfo->image_height);
    if (pixels == 0) return 0;
    const uint64_t bits = BlocksInImage(cinfo) * 64 * 16;
    return int(std::min<uint64_t>((bits + pixels - 1) / pixels, 1024));
}

// All libjpeg work of a load. Returns false when the decoder failed; the
// picture is then incomplete and must be dropped by the caller. Data the
// decoder had to make up is noted in the error manager. Allocation
// failures of the picture itself raise std::bad_alloc past the jump point,
// which is safe: nothing between here and the caller is C code.
bool DecodeInto(JpegDecoder* decoder, Picture* picture, std::vector<uint8_t>* cmykRow) {
    jpeg_decompress_struct* cinfo = &decoder->cinfo;
    if (setjmp(decoder->err.jump)) return false;

    jpeg_create_decompress(cinfo);
    decoder->created = true;
    jpeg_stdio_src(cinfo, decoder->file);
    jpeg_read_header(cinfo, TRUE);

    cinfo->scale_num = 1;
    cinfo->scale_denom = 1;
    cinfo->dct_method = JDCT_IFAST;
    const bool cmyk = cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK;
    if (cmyk) {
        // The quantiser works on three components only: four-ink files are
        // converted to 24-bit colour here and quantised later with the other
        // 24-bit sources.
        cinfo->out_color_space = JCS_CMYK;
        cinfo->quantize_colors = FALSE;
    } else {
        cinfo->quantize_colors = TRUE;
        cinfo->dither_mode = JDITHER_NONE;
        cinfo->two_pass_quantize = TRUE;
        cinfo->desired_number_of_colors = 256;
    }
    if (!WeighCodedSize(cinfo, decoder->fileBytes, decoder->err.message)) return false;
    // The two-pass quantiser keeps the whole image at full colour inside
    // libjpeg beside our 8-bit picture: four bytes a pixel in all (a CMYK
    // file: its 24-bit picture). A file of a few bytes can state any size,
    // so the size is weighed before libjpeg allocates anything for it.
    // Progressive and multi-scan files add their coefficient buffers.
    if (!FitsWholeImageLimit(cinfo->image_width, cinfo->image_height,
                             (cmyk ? 24 : 32) + CoefficientBitsPerPixel(cinfo))) {
        const std::string reason = "a picture of " + FormatThousands(cinfo->image_width) + " x " +
                                   FormatThousands(cinfo->image_height) + " pixels needs more than the " +
                                   FormatThousands(int64_t(WholeImageLimit())) + " bytes allowed";
        std::snprintf(decoder->err.message, sizeof decoder->err.message, "%s", reason.c_str());
        return false;
    }
    jpeg_start_decompress(cinfo);

    const int width = int(cinfo->output_width);
    const int height = int(cinfo->output_height);
    if (cmyk) {
        *picture = Picture(width, height, 24);
        cmykRow->resize(size_t(width) * 4);
        const bool inverted = cinfo->saw_Adobe_marker;
        while (cinfo->output_scanline < cinfo->output_height) {
            const int y = int(cinfo->output_scanline);
            JSAMPROW row = cmykRow->data();
            if (jpeg_read_scanlines(cinfo, &row, 1) != 1) return false;
            CmykRowToBgr(cmykRow->data(), picture->Row(y), width, inverted);
        }
    } else {
        *picture = Picture(width, height, 8);
        Palette& palette = picture->Colours();
        const int colours = cinfo->actual_number_of_colors;
        const bool grey = cinfo->out_color_components == 1;
        for (int i = 0; i < colours && i < 256; ++i) {
            if (grey) {
                uint8_t level = cinfo->colormap[0][i];
                palette[size_t(i)] = {level, level, level, 0};
            } else {
                palette[size_t(i)] = {cinfo->colormap[2][i], cinfo->colormap[1][i], cinfo->colormap[0][i], 0};
            }
        }
        while (cinfo->output_scanline < cinfo->output_height) {
            JSAMPROW row = picture->Row(int(cinfo->output_scanline));
            if (jpeg_read_scanlines(cinfo, &row, 1) != 1) return false;
        }
    }
    jpeg_finish_decompress(cinfo);
    return true;
}

bool InspectInto(JpegDecoder* decoder, SourceImageInfo* info) {
    jpeg_decompress_struct* cinfo = &decoder->cinfo;
    if (setjmp(decoder->err.jump)) return false;
    jpeg_create_decompress(cinfo);
    decoder->created = true;
    jpeg_stdio_src(cinfo, decoder->file);
    jpeg_read_header(cinfo, TRUE);
    info->width = int32_t(cinfo->image_width);
    info->height = int32_t(cinfo->image_height);
    if (cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK) info->bytesPerPixel = 3;
    return true;
}

// The whole image. Refuses with libjpeg's reason; data that ends early or
// is corrupt gives the picture with the rows from the first damaged one on
// counted as damaged.
WholeImage DecodeJpeg(const std::string& path) {
    JpegDecoder decoder;
    if (!OpenDecoder(decoder, path)) throw SourceError(SourceOpenError::SourceNotLoadable, decoder.openError);
    WholeImage whole;
    std::vector<uint8_t> cmykRow;
    if (!DecodeInto(&decoder, &whole.picture, &cmykRow))
        throw SourceError(SourceOpenError::SourceNotLoadable, decoder.err.message);
    if (decoder.err.dataLost) {
        const int height = whole.picture.Height();
        const int from = std::clamp(decoder.err.lostFromRow, 0, std::max(height - 1, 0));
        whole.damagedRows = height - from;
        whole.damageDetail = std::string(decoder.err.lostMessage) + ", from row " + FormatThousands(from + 1) +
                             " of " + FormatThousands(height);
    }
    return whole;
}

std::optional<WholeImage> LoadJpegWhole(const std::string& path) {
    return DecodeJpeg(path);
}

// ".jpeg" is the same format under its long name.
const SourceFormat kJpegFormats[] = {
    {".jpg", &LoadJpegWhole, nullptr, &GetJpegInfo},
    {".jpeg", &LoadJpegWhole, nullptr, &GetJpegInfo},
};

}  // namespace

std::optional<Picture> LoadJpegBitmap(const std::string& path) {
    try {
        WholeImage whole = DecodeJpeg(path);
        if (whole.damagedRows > 0) return std::nullopt;
        return std::move(whole.picture);
    } catch (const SourceError&) {
        return std::nullopt;
    }
}

SourceImageInfo GetJpegInfo(const std::string& path) {
    SourceImageInfo info;
    JpegDecoder decoder;
    if (!OpenDecoder(decoder, path)) return info;
    SourceImageInfo read;
    if (InspectInto(&decoder, &read)) info = read;
    return info;
}

std::span<const SourceFormat> JpegFormats() {
    return kJpegFormats;
}

}  // namespace tessary
