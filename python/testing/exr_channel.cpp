// The EXR reader the bake's tests check the EXR export with, through
// OpenEXR itself:
//   exr_channel FILE            the channels, one a line: NAME TYPE
//                               (TYPE 0 uint, 1 half, 2 float), then
//                               "window X0 Y0 X1 Y1"
//   exr_channel FILE CHANNEL    the channel's values as raw little-endian
//                               32-bit words, row by row
//   exr_channel FILE --attribute NAME   a string attribute's text
// Exit code 1 with a message for anything OpenEXR refuses.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfStringAttribute.h>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: exr_channel FILE [CHANNEL | --attribute NAME]\n");
        return 2;
    }
    try {
        Imf::InputFile file(argv[1]);
        const Imf::Header& header = file.header();
        const auto window = header.dataWindow();
        if (argc == 2) {
            for (auto it = header.channels().begin(); it != header.channels().end(); ++it)
                std::printf("%s %d\n", it.name(), static_cast<int>(it.channel().type));
            std::printf("window %d %d %d %d\n", window.min.x, window.min.y, window.max.x, window.max.y);
            return 0;
        }
        if (argc == 4 && std::strcmp(argv[2], "--attribute") == 0) {
            const auto* text = header.findTypedAttribute<Imf::StringAttribute>(argv[3]);
            if (text == nullptr) throw std::runtime_error(std::string("no string attribute ") + argv[3]);
            std::fwrite(text->value().data(), 1, text->value().size(), stdout);
            return 0;
        }
        const Imf::Channel* channel = header.channels().findChannel(argv[2]);
        if (channel == nullptr) throw std::runtime_error(std::string("no channel ") + argv[2]);
        if (channel->type == Imf::HALF) throw std::runtime_error("a half channel");
        const size_t width = static_cast<size_t>(window.max.x - window.min.x + 1);
        const size_t height = static_cast<size_t>(window.max.y - window.min.y + 1);
        std::vector<uint32_t> values(width * height);
        Imf::FrameBuffer fb;
        fb.insert(argv[2], Imf::Slice::Make(channel->type, values.data(), window, 4, 4 * width));
        file.setFrameBuffer(fb);
        file.readPixels(window.min.y, window.max.y);
        std::fwrite(values.data(), 4, values.size(), stdout);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "exr_channel: %s\n", e.what());
        return 1;
    }
    return 0;
}
