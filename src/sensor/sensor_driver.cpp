// Thin wrappers around the sensor driver's two requests.
#define LOG_TAG "nav_core"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "base/log.h"
#include "base/reissue.h"
#include "krv_nav.h"
#include "sensor/sensor_driver.h"

extern "C" {
// Kept for the host; the library itself never reads or writes it.
FramePair image;
}

namespace krv {

bool fetch_frame_pair(uint8_t* buffer) {
    int fd = reissue_on_eintr([] { return open(KRV_SENSOR_NODE, O_RDWR | O_CLOEXEC); });
    if (fd < 0) return false;
    int rc = reissue_on_eintr([&] { return ioctl(fd, NAV_IOC_GET_IMAGE, buffer); });
    close(fd);
    return rc >= 0;
}

bool get_image_data(uint8_t* buffer) {
    KRV_LOGD("++ %s", "krv_nav_getImageData");
    bool ok = fetch_frame_pair(buffer);
    KRV_LOGD("-- %s", "krv_nav_getImageData");
    return ok;
}

}  // namespace krv

extern "C" void krv_nav_getImageData(uint8_t* buffer, int /*unused*/) { krv::get_image_data(buffer); }

extern "C" void krv_nav_reportKey(int key) {
    KRV_LOGD("++ %s", __func__);
    unsigned char byte = static_cast<unsigned char>(key & 0xFF);
    int fd = krv::reissue_on_eintr([] { return open(KRV_SENSOR_NODE, O_RDWR | O_CLOEXEC); });
    if (fd >= 0) {
        krv::reissue_on_eintr([&] { return ioctl(fd, NAV_IOC_REPORT_KEY, &byte); });
        close(fd);
    }
    KRV_LOGD("-- %s", __func__);
}
