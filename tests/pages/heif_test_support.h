// HEIC and AVIF pictures made with libheif's own encoders (x265 and aom), for the thumbnail
// tests, and the byte surgery that makes hostile ones of them.
#pragma once

#include <QByteArray>
#include <QImage>
#include <cstdint>
#include <libheif/heif.h>
#include <memory>

namespace tvn::test {

// `picture` encoded as HEIC (heif_compression_HEVC) or AVIF (heif_compression_AV1), stored
// as it is and marked to be shown as `orientation` says (irot and imir boxes); empty when
// libheif cannot encode it.
inline QByteArray EncodeHeif(const QImage& picture, heif_compression_format format,
                             heif_orientation orientation = heif_orientation_normal) {
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    const std::unique_ptr<heif_context, void (*)(heif_context*)> context(heif_context_alloc(),
                                                                         &heif_context_free);
    heif_image* raw = nullptr;
    if (heif_image_create(rgb.width(), rgb.height(), heif_colorspace_RGB,
                          heif_chroma_interleaved_RGB, &raw)
            .code != heif_error_Ok)
        return {};
    const std::unique_ptr<heif_image, void (*)(const heif_image*)> image(raw, &heif_image_release);
    if (heif_image_add_plane(raw, heif_channel_interleaved, rgb.width(), rgb.height(), 8).code !=
        heif_error_Ok)
        return {};
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(raw, heif_channel_interleaved, &stride);
    for (int y = 0; y < rgb.height(); ++y)
        std::copy_n(rgb.constScanLine(y), 3 * rgb.width(), plane + y * stride);
    heif_encoder* rawEncoder = nullptr;
    if (heif_context_get_encoder_for_format(context.get(), format, &rawEncoder).code !=
        heif_error_Ok)
        return {};
    const std::unique_ptr<heif_encoder, void (*)(heif_encoder*)> encoder(rawEncoder,
                                                                         &heif_encoder_release);
    heif_encoder_set_lossy_quality(rawEncoder, 90);
    const std::unique_ptr<heif_encoding_options, void (*)(heif_encoding_options*)> options(
        heif_encoding_options_alloc(), &heif_encoding_options_free);
    options->image_orientation = orientation;
    if (heif_context_encode_image(context.get(), raw, rawEncoder, options.get(), nullptr).code !=
        heif_error_Ok)
        return {};
    QByteArray bytes;
    heif_writer writer{1, [](heif_context*, const void* data, std::size_t size, void* user) {
                           static_cast<QByteArray*>(user)->append(static_cast<const char*>(data),
                                                                  static_cast<qsizetype>(size));
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
                       }};
    if (heif_context_write(context.get(), &writer, &bytes).code != heif_error_Ok)
        return {};
    return bytes;
}

// `heif` with the size its ispe box declares set to `width` by `height`; empty when it has
// no such box.
inline QByteArray WithDeclaredSize(QByteArray heif, std::uint32_t width, std::uint32_t height) {
    const auto box = heif.indexOf("ispe");
    if (box < 0 || box + 16 > heif.size())
        return {};
    for (int i = 0; i < 4; ++i) {
        heif[box + 8 + i] = static_cast<char>((width >> (24 - 8 * i)) & 0xFF);
        heif[box + 12 + i] = static_cast<char>((height >> (24 - 8 * i)) & 0xFF);
    }
    return heif;
}

} // namespace tvn::test
