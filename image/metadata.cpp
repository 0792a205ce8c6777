// Reading and writing EXIF, IPTC and XMP with exiv2, on files held in memory.
#include "image/metadata.h"

#include <exiv2/exiv2.hpp>
#include <exiv2/webpimage.hpp>

#include <cstdint>
#include <mutex>
#include <new>
#include <set>
#include <string>

struct ImageMetadata::Blocks
{
    Exiv2::ExifData exif;
    Exiv2::IptcData iptc;
    Exiv2::XmpData xmp;
};

namespace {

using Blocks = ImageMetadata::Blocks;

enum BlockBit { ExifBlock = 1, IptcBlock = 2, XmpBlock = 4 };

const Exiv2::byte *bytesOf(const QByteArray &bytes)
{
    return reinterpret_cast<const Exiv2::byte *>(bytes.constData());
}

void lockXmpParser(void *mutex, bool lock)
{
    auto *xmpMutex = static_cast<std::mutex *>(mutex);
    if (lock)
        xmpMutex->lock();
    else
        xmpMutex->unlock();
}

// The first image directory's tags that describe the photograph rather than how a file stores
// it. A TIFF or raw file also keeps its strips, tiles, sizes, compression and sub-images there,
// which would describe the written file falsely; the colour profile travels with the image.
bool isDescriptiveImageTag(const std::string &key)
{
    static const std::set<std::string> descriptive {"Exif.Image.DocumentName",
        "Exif.Image.ImageDescription", "Exif.Image.Make", "Exif.Image.Model",
        "Exif.Image.Orientation", "Exif.Image.XResolution", "Exif.Image.YResolution",
        "Exif.Image.ResolutionUnit", "Exif.Image.Software", "Exif.Image.DateTime",
        "Exif.Image.Artist", "Exif.Image.HostComputer", "Exif.Image.Copyright", "Exif.Image.Rating",
        "Exif.Image.RatingPercent", "Exif.Image.XPTitle", "Exif.Image.XPComment",
        "Exif.Image.XPAuthor", "Exif.Image.XPKeywords", "Exif.Image.XPSubject"};
    return descriptive.count(key) != 0;
}

// Camera settings, GPS, interoperability and maker notes go with the photograph; the thumbnail
// (it would show the image as it was) and a raw file's other images do not.
bool carriesOver(const Exiv2::Exifdatum &datum)
{
    const std::string group = datum.groupName();
    if (group == "Image")
        return isDescriptiveImageTag(datum.key());
    return group == "Photo" || group == "GPSInfo" || group == "Iop" || group == "MakerNote"
        || Exiv2::ExifTags::isMakerGroup(group);
}

// Sets the key's value where the block has the key.
template<typename Data, typename Key, typename Value>
void updateIfPresent(Data &data, const std::string &key, const Value &value)
{
    if (data.findKey(Key(key)) != data.end())
        data[key] = value;
}

// The blocks as they describe the written image: upright, of the given size.
Blocks forWrittenImage(const Blocks &read, const QSize &size)
{
    Blocks blocks = read;
    if (!blocks.exif.empty()) {
        blocks.exif["Exif.Image.Orientation"] = std::uint16_t(1);
        using Exiv2::ExifData;
        using Exiv2::ExifKey;
        updateIfPresent<ExifData, ExifKey>(
            blocks.exif, "Exif.Photo.PixelXDimension", std::uint32_t(size.width()));
        updateIfPresent<ExifData, ExifKey>(
            blocks.exif, "Exif.Photo.PixelYDimension", std::uint32_t(size.height()));
    }
    if (!blocks.xmp.empty()) {
        blocks.xmp["Xmp.tiff.Orientation"] = "1";
        using Exiv2::XmpData;
        using Exiv2::XmpKey;
        updateIfPresent<XmpData, XmpKey>(
            blocks.xmp, "Xmp.exif.PixelXDimension", std::to_string(size.width()));
        updateIfPresent<XmpData, XmpKey>(
            blocks.xmp, "Xmp.exif.PixelYDimension", std::to_string(size.height()));
    }
    return blocks;
}

// Puts each tag into the file's EXIF, replacing a tag of the same key: the encoder's own tags
// (a TIFF's strips and sizes) stay.
void mergeExif(Exiv2::ExifData &into, const Exiv2::ExifData &from)
{
    for (const Exiv2::Exifdatum &datum : from) {
        const auto existing = into.findKey(Exiv2::ExifKey(datum.key()));
        if (existing != into.end())
            into.erase(existing);
        into.add(datum);
    }
}

// The file's bytes with the chosen blocks written in by exiv2, or false when exiv2 failed.
bool embedBlocks(const QByteArray &fileBytes, const Blocks &blocks, int chosen, QByteArray *out)
{
    try {
        const long size = long(fileBytes.size());
        const int type = Exiv2::ImageFactory::getType(bytesOf(fileBytes), size);
        const auto writes = [type](Exiv2::MetadataId id) {
            return (Exiv2::ImageFactory::checkMode(type, id) & Exiv2::amWrite) != 0;
        };
        auto image = Exiv2::ImageFactory::open(bytesOf(fileBytes), size);
        image->readMetadata();
        if ((chosen & ExifBlock) && writes(Exiv2::mdExif))
            mergeExif(image->exifData(), blocks.exif);
        if ((chosen & XmpBlock) && writes(Exiv2::mdXmp))
            image->setXmpData(blocks.xmp);
        if ((chosen & IptcBlock) && writes(Exiv2::mdIptc))
            image->setIptcData(blocks.iptc);
        else if ((chosen & IptcBlock) && writes(Exiv2::mdXmp))
            Exiv2::copyIptcToXmp(blocks.iptc, image->xmpData());
        image->writeMetadata();
        Exiv2::BasicIo &io = image->io();
        if (io.open() != 0)
            return false;
        const long written = io.size();
        QByteArray bytes(int(written), Qt::Uninitialized);
        const long read = io.read(reinterpret_cast<Exiv2::byte *>(bytes.data()), written);
        io.close();
        if (read != written)
            return false;
        *out = bytes;
        return true;
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
        // Exiv2::Error, and the standard exceptions exiv2 lets through on damaged data.
        return false;
    }
}

} // namespace

void prepareMetadataLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] {
        static std::mutex xmpMutex;
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize(lockXmpParser, &xmpMutex);
    });
}

ImageMetadata readMetadata(const QByteArray &fileBytes)
{
    prepareMetadataLibrary();
    ImageMetadata metadata;
    try {
        // Only the still-image formats whose metadata a photograph carries are parsed. exiv2
        // also takes other files for videos by a few bytes anywhere near the start (a PGM with
        // "ftyp" in a comment), and its video parsers can loop for ever on such a file.
        static const std::set<int> parsed {Exiv2::ImageType::jpeg, Exiv2::ImageType::png,
            Exiv2::ImageType::tiff, Exiv2::ImageType::webp, Exiv2::ImageType::cr2,
            Exiv2::ImageType::crw, Exiv2::ImageType::mrw, Exiv2::ImageType::orf,
            Exiv2::ImageType::raf, Exiv2::ImageType::rw2};
        const long size = long(fileBytes.size());
        if (parsed.count(Exiv2::ImageFactory::getType(bytesOf(fileBytes), size)) == 0)
            return metadata;
        auto image = Exiv2::ImageFactory::open(bytesOf(fileBytes), size);
        image->readMetadata();
        auto blocks = std::make_shared<Blocks>();
        for (const Exiv2::Exifdatum &datum : image->exifData()) {
            if (carriesOver(datum))
                blocks->exif.add(datum);
        }
        blocks->iptc = image->iptcData();
        blocks->xmp = image->xmpData();
        const auto orientation = blocks->exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        if (orientation != blocks->exif.end() && orientation->count() > 0) {
            const long value = orientation->toLong();
            metadata.orientation = value >= 1 && value <= 8 ? int(value) : 1;
        }
        if (!blocks->exif.empty() || !blocks->iptc.empty() || !blocks->xmp.empty())
            metadata.blocks = blocks;
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
        // Not a format exiv2 knows, or damaged metadata: the image goes without.
        metadata = ImageMetadata();
    }
    return metadata;
}

void embedMetadata(QByteArray *fileBytes, const ImageMetadata &metadata, const QSize &size)
{
    if (metadata.isEmpty())
        return;
    prepareMetadataLibrary();
    const Blocks blocks = forWrittenImage(*metadata.blocks, size);
    QByteArray written;
    if (embedBlocks(*fileBytes, blocks, ExifBlock | IptcBlock | XmpBlock, &written)) {
        *fileBytes = written;
        return;
    }
    // One block failed: each is tried in turn, and those that fail are left out.
    int chosen = 0;
    for (const int block : {ExifBlock, IptcBlock, XmpBlock}) {
        if (embedBlocks(*fileBytes, blocks, chosen | block, &written))
            chosen |= block;
    }
    // `written` holds the last success, which had every block chosen so far.
    if (chosen != 0)
        *fileBytes = written;
}
