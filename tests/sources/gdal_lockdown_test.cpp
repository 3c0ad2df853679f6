// The GDAL route opens a source only through the drivers its extension
// allows: a file that GDAL would read as something else (a VRT pointing at
// another file or at a web address, a GeoTIFF under a vendor extension) is
// refused unread, GDAL's virtual paths are refused, and GDAL makes no
// network connection even when a test lets a VRT through.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <string>
#include <variant>
#include <vector>

#include "gdal_reader_test_support.h"
#include "sources/ecw_abi.h"
#include "sources/ecw_reader.h"
#include "sources/mrsid_reader.h"
#include "sources/source_image.h"

namespace tessary {
namespace {

// A TCP listener on the loopback interface that tells whether anybody
// connected to it.
class LoopbackListener {
public:
    LoopbackListener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(fd_, 8) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "no loopback listener";
            return;
        }
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackListener() {
        if (fd_ >= 0) close(fd_);
    }
    std::string Url(const std::string& name) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
    }
    // Whether a connection is waiting, after up to `waitMs` milliseconds.
    bool Connected(int waitMs) const {
        pollfd entry{fd_, POLLIN, 0};
        return poll(&entry, 1, waitMs) > 0;
    }
    // Connects to the listener, as a check that it hears connections.
    void ConnectToIt() const {
        int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(uint16_t(port_));
        EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        close(client);
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// Watches one file for being opened or read.
class OpenWatch {
public:
    explicit OpenWatch(const std::string& path) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0 || inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_ACCESS) < 0)
            ADD_FAILURE() << "cannot watch " << path;
    }
    ~OpenWatch() {
        if (fd_ >= 0) close(fd_);
    }
    bool Touched() const {
        alignas(inotify_event) char events[4096];
        return read(fd_, events, sizeof events) > 0;
    }

private:
    int fd_ = -1;
};

// A VRT of 40 x 30 grey pixels taken raw from `target`.
std::string RawVrtOver(const std::string& target) {
    return "<VRTDataset rasterXSize=\"40\" rasterYSize=\"30\">\n"
           "  <VRTRasterBand dataType=\"Byte\" band=\"1\" subClass=\"VRTRawRasterBand\">\n"
           "    <SourceFilename relativetoVRT=\"0\">" +
           target +
           "</SourceFilename>\n"
           "    <ImageOffset>0</ImageOffset><PixelOffset>1</PixelOffset><LineOffset>40</LineOffset>\n"
           "  </VRTRasterBand>\n"
           "</VRTDataset>\n";
}

// A VRT of 40 x 30 grey pixels taken from the raster at `target`.
std::string SimpleVrtOver(const std::string& target) {
    return "<VRTDataset rasterXSize=\"40\" rasterYSize=\"30\">\n"
           "  <VRTRasterBand dataType=\"Byte\" band=\"1\">\n"
           "    <SimpleSource>\n"
           "      <SourceFilename relativetoVRT=\"0\">" +
           target +
           "</SourceFilename>\n"
           "      <SourceBand>1</SourceBand>\n"
           "    </SimpleSource>\n"
           "  </VRTRasterBand>\n"
           "</VRTDataset>\n";
}

class GdalLockdownTest : public testing::GdalReaderTest {
protected:
    void SetUp() override {
        GdalReaderTest::SetUp();
        if (LibraryUsable(EcwLibraryFileName())) extensions_.push_back(".ecw");
        if (LibraryUsable(MrSidLibraryFileName())) extensions_.push_back(".sid");
        // The GDAL route: a VRT named .jp2 or .pdf is refused as well.
        if (LibraryUsable(GdalLibraryFileName())) extensions_.insert(extensions_.end(), {".jp2", ".pdf"});
        if (extensions_.empty()) GTEST_SKIP() << "no GDAL library was built or GDAL is not found";
    }

    // The refusal of `path`: the open fails as unusable, the inspector
    // throws the same reason, and the reason is returned.
    static std::string Refusal(const std::string& path) {
        SourceOpenResult result = OpenSourceImage(path);
        const auto* failure = std::get_if<SourceFailure>(&result);
        if (!failure) {
            ADD_FAILURE() << path << " opened";
            return {};
        }
        EXPECT_EQ(*failure, SourceOpenError::SourceUnusable);
        try {
            GetSourceImageInfo(path);
            ADD_FAILURE() << "the inspector gave " << path << " a size";
        } catch (const SourceError& e) {
            EXPECT_EQ(e.what(), failure->detail);
        }
        return failure->detail;
    }

    std::vector<std::string> extensions_;
};

TEST_F(GdalLockdownTest, AVrtOverAnotherFileIsRefusedAsAVrtAndThatFileIsNeverOpened) {
    // GeoTIFF stand-ins are let through, as in the readers' own tests: a
    // VRT still is not.
    testing::AllowedForTesting ecw(EcwLibraryFileName(), {"GTiff"});
    std::string sentinel = scratch_.Write("sentinel.bin", std::string(1200, 'S'));
    OpenWatch watch(sentinel);
    for (const std::string& extension : extensions_) {
        for (const std::string& vrt : {RawVrtOver(sentinel), SimpleVrtOver(sentinel)}) {
            std::string path = scratch_.Write("evil" + extension, vrt);
            std::string detail = Refusal(path);
            EXPECT_NE(detail.find("Virtual Raster (VRT)"), std::string::npos) << detail;
            EXPECT_NE(detail.find("refused"), std::string::npos) << detail;
            std::filesystem::remove(path);
        }
    }
    EXPECT_FALSE(watch.Touched()) << "the file behind the VRT was opened";
    // The watch hears an open.
    std::ifstream(sentinel).get();
    EXPECT_TRUE(watch.Touched());
}

TEST_F(GdalLockdownTest, AVrtOverAWebAddressIsRefusedWithoutAConnection) {
    LoopbackListener listener;
    for (const std::string& extension : extensions_) {
        for (const std::string& vrt : {RawVrtOver("/vsicurl/" + listener.Url("x.bin")),
                                       SimpleVrtOver("/vsicurl/" + listener.Url("x.tif"))}) {
            std::string detail = Refusal(scratch_.Write("remote" + extension, vrt));
            EXPECT_NE(detail.find("Virtual Raster (VRT)"), std::string::npos) << detail;
        }
    }
    EXPECT_FALSE(listener.Connected(300));
    listener.ConnectToIt();
    EXPECT_TRUE(listener.Connected(2000));
}

TEST_F(GdalLockdownTest, GdalMakesNoConnectionEvenWhereATestLetsAVrtThrough) {
    if (!LibraryUsable(EcwLibraryFileName())) GTEST_SKIP() << "the ECW library was not built or finds no GDAL";
    testing::AllowedForTesting vrt(EcwLibraryFileName(), {"VRT"});
    LoopbackListener listener;
    std::string path = scratch_.Write("remote.ecw", SimpleVrtOver("/vsicurl/" + listener.Url("x.tif")));
    SourceOpenResult result = OpenSourceImage(path);
    if (auto* handle = std::get_if<SourceHandle>(&result)) {
        std::vector<uint8_t> row(size_t((*handle)->Width) * 3);
        try {
            ReadSourceRow(**handle, 0, row.data());
        } catch (const SourceError&) {
            // The source cannot be fetched: a damaged row.
        }
    }
    EXPECT_FALSE(listener.Connected(300));
}

TEST_F(GdalLockdownTest, GdalsVirtualPathsAreRefusedByTheLibraryItself) {
    if (!LibraryUsable(EcwLibraryFileName())) GTEST_SKIP() << "the ECW library was not built or finds no GDAL";
    testing::AllowedForTesting all(EcwLibraryFileName(), {"GTiff", "VRT"});
    void* module =
        platform::LoadLibraryFile(std::string(TESSARY_BIN_DIR) + "/" + std::string(EcwLibraryFileName()));
    ASSERT_TRUE(module);
    auto open = reinterpret_cast<EcwOpenFileViewFn>(platform::FindSymbol(module, ECW_OPEN_FILE_VIEW));
    auto lastError = reinterpret_cast<EcwLastErrorFn>(platform::FindSymbol(module, ECW_LAST_ERROR));
    ASSERT_TRUE(open && lastError);
    LoopbackListener listener;
    std::string local = scratch_.Copy("rgb.tif", "rgb.ecw");
    for (const std::string& path : {"/vsicurl/" + listener.Url("x.ecw"), "/VSICURL/" + listener.Url("x.ecw"),
                                    "/vsisubfile/0_7298," + local}) {
        EcwFileView* view = nullptr;
        EXPECT_NE(open(path.c_str(), &view, nullptr), 0) << path;
        EXPECT_EQ(view, nullptr);
        EXPECT_NE(std::string(lastError()).find("virtual file paths"), std::string::npos) << lastError();
    }
    EXPECT_FALSE(listener.Connected(300));
    // The same file by its own name opens.
    EcwFileView* view = nullptr;
    ASSERT_EQ(open(local.c_str(), &view, nullptr), 0) << lastError();
    auto close = reinterpret_cast<EcwCloseFileViewFn>(platform::FindSymbol(module, ECW_CLOSE_FILE_VIEW));
    close(view);
    platform::FreeLibraryFile(module);
}

TEST_F(GdalLockdownTest, AGeoTiffUnderAVendorExtensionIsRefusedNamingWhatGdalFound) {
    for (const std::string& extension : extensions_) {
        std::string detail = Refusal(scratch_.Copy("rgb.tif", "rgb" + extension));
        EXPECT_NE(detail.find("GeoTIFF (GTiff)"), std::string::npos) << detail;
        const std::map<std::string, std::string> formats = {
            {".ecw", "ECW"}, {".sid", "MrSID"}, {".jp2", "JPEG 2000"}, {".pdf", "PDF"}};
        EXPECT_NE(detail.find("not read as " + formats.at(extension)), std::string::npos) << detail;
    }
}

}  // namespace
}  // namespace tessary
