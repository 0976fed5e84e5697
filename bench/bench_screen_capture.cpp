// Screen capture on a 1920x1080 X display, one JSON line per figure: a still frame (grab, scale
// to 1280, JPEG at 0.56) as the still-frame path serves it; the raw MIT-SHM grab rate; the live
// capture rate at full size; and FFmpeg's x11grab on the same display as the baseline. The
// display is the first argument (scripts/run-benchmarks starts a private Xvfb for it); the
// screen is painted with a desktop-like picture first so that scaling and JPEG do real work.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <xcb/xcb.h>

#include "TavolinMacAgent/Platform/X11/X11Connection.hpp"
#include "TavolinMacAgent/Platform/X11/X11DisplayGeometry.hpp"
#include "TavolinMacAgent/Platform/X11/X11ScreenCapture.hpp"
#include "TavolinMacAgent/Streaming/LiveScreenCapture.hpp"
#include "TavolinMacAgent/Streaming/ScreenFrameProvider.hpp"

#include "bench/BenchFigures.hpp"

namespace {

using namespace tavolin;
using Stopwatch = std::chrono::steady_clock;

const int kStillIterations = bench::benchCount(200);
const int kRateFrames = bench::benchCount(900);

double secondsSince(Stopwatch::time_point start) {
  return std::chrono::duration<double>(Stopwatch::now() - start).count();
}

using bench::Figures;
using bench::figuresOf;

// A desktop: a gradient wallpaper, windows full of text-like marks, and a photo-like area.
std::vector<std::uint8_t> desktopPicture(int width, int height) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  const auto put = [&](int x, int y, int red, int green, int blue) {
    std::uint8_t* pixel = pixels.data() + (static_cast<std::size_t>(y) * width + x) * 4;
    pixel[0] = static_cast<std::uint8_t>(std::clamp(blue, 0, 255));
    pixel[1] = static_cast<std::uint8_t>(std::clamp(green, 0, 255));
    pixel[2] = static_cast<std::uint8_t>(std::clamp(red, 0, 255));
  };
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x)
      put(x, y, 30 + x * 60 / width, 60 + y * 80 / height, 120 + (x + y) * 90 / (width + height));
  }
  std::mt19937 random(7);
  const auto fillRect = [&](int left, int top, int w, int h, int red, int green, int blue) {
    for (int y = top; y < std::min(top + h, height); ++y) {
      for (int x = left; x < std::min(left + w, width); ++x)
        put(x, y, red, green, blue);
    }
  };
  const int windows[][4] = {{60, 50, 820, 560},   {700, 120, 900, 640}, {1000, 500, 860, 520},
                            {120, 640, 700, 400}, {1400, 60, 480, 380}, {400, 300, 600, 420}};
  for (const auto& window : windows) {
    const int left = window[0], top = window[1], w = window[2], h = window[3];
    fillRect(left, top, w, h, 250, 250, 248);
    fillRect(left, top, w, 28, 70 + static_cast<int>(random() % 120), 90, 140);
    // Lines of words: dark marks of glyph height with word gaps.
    for (int line = top + 44; line + 12 < top + h; line += 18) {
      int x = left + 12;
      while (x < left + w - 40) {
        const int word = 12 + static_cast<int>(random() % 60);
        for (int glyphX = x; glyphX < std::min(x + word, left + w - 12); glyphX += 7) {
          const int glyphHeight = 7 + static_cast<int>(random() % 6);
          fillRect(glyphX, line + 12 - glyphHeight, 5, glyphHeight, 30, 30, 40);
        }
        x += word + 8;
      }
    }
  }
  // Photo: smooth waves with grain.
  for (int y = 700; y < 1040; ++y) {
    for (int x = 1300; x < 1880; ++x) {
      const int grain = static_cast<int>(random() % 24) - 12;
      put(x, y, 128 + static_cast<int>(90 * std::sin(x * 0.03) * std::cos(y * 0.05)) + grain,
          110 + static_cast<int>(70 * std::sin((x + y) * 0.02)) + grain,
          90 + static_cast<int>(60 * std::cos(x * 0.011 - y * 0.017)) + grain);
    }
  }
  return pixels;
}

// Paints the picture as the root window's background so it stays on screen.
bool paintRoot(X11Connection& connection, int width, int height) {
  const std::vector<std::uint8_t> picture = desktopPicture(width, height);
  xcb_connection_t* c = connection.get();
  xcb_screen_t* screen = connection.screen();
  const xcb_pixmap_t pixmap = xcb_generate_id(c);
  xcb_create_pixmap(c, screen->root_depth, pixmap, screen->root, static_cast<std::uint16_t>(width),
                    static_cast<std::uint16_t>(height));
  const xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, pixmap, 0, nullptr);
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
  const std::size_t requestBytes = std::size_t{xcb_get_maximum_request_length(c)} * 4 - 64;
  const int rowsPerRequest = static_cast<int>(std::max<std::size_t>(1, requestBytes / rowBytes));
  for (int top = 0; top < height; top += rowsPerRequest) {
    const int rows = std::min(rowsPerRequest, height - top);
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, static_cast<std::uint16_t>(width),
                  static_cast<std::uint16_t>(rows), 0, static_cast<std::int16_t>(top), 0,
                  screen->root_depth, static_cast<std::uint32_t>(rowBytes * rows),
                  picture.data() + rowBytes * top);
  }
  xcb_change_window_attributes(c, screen->root, XCB_CW_BACK_PIXMAP, &pixmap);
  xcb_clear_area(c, 0, screen->root, 0, 0, 0, 0);
  xcb_free_gc(c, gc);
  xcb_free_pixmap(c, pixmap);
  return connection.sync();
}

void printStill(const Figures& figures, std::int64_t jpegBytes, PixelSize size) {
  std::printf(
      "{\"benchmark\":\"still_frame_capture_scale_jpeg\",\"display\":\"1920x1080\","
      "\"frame\":\"%dx%d\",\"jpeg_quality\":0.56,\"jpeg_bytes\":%lld,\"iterations\":%d,"
      "\"median_ms\":%.3f,\"p95_ms\":%.3f,\"goal_median_ms\":12}\n",
      size.width, size.height, static_cast<long long>(jpegBytes), kStillIterations, figures.median,
      figures.p95);
  std::fflush(stdout);
}

// Frames per second of `frames` grabs in a row.
double grabRate(ScreenCaptureSource& source) {
  source.grab();  // attaches the segment
  const auto start = Stopwatch::now();
  for (int i = 0; i < kRateFrames; ++i) {
    if (!source.grab())
      return 0;
  }
  return kRateFrames / secondsSince(start);
}

// Frames per second the live capture produces when asked for as many as it can make.
double liveRate(std::shared_ptr<ScreenCapture> capture) {
  LiveScreenCapture live(std::move(capture), {1000, {}, LiveScreenPixelFormat::bgra}, 2);
  live.start();
  if (!live.waitForFrame(std::chrono::seconds(10)))
    return 0;
  const std::int64_t first = live.counters().captured;
  const auto start = Stopwatch::now();
  while (live.counters().captured < first + kRateFrames) {
    if (!live.waitForFrame(std::chrono::seconds(10)))
      return 0;
  }
  const double seconds = secondsSince(start);
  const std::int64_t frames = live.counters().captured - first;
  live.stop();
  return static_cast<double>(frames) / seconds;
}

// Wall time of one ffmpeg x11grab run of `frames` frames, or a negative value on failure. The
// frame rate asked for is far above what any grab reaches, so x11grab never waits.
double ffmpegSeconds(const std::string& display, int frames) {
  const std::string command =
      "ffmpeg -nostdin -hide_banner -loglevel error -f x11grab -draw_mouse 0 -framerate 100000 "
      "-video_size 1920x1080 -i " +
      display + " -frames:v " + std::to_string(frames) + " -f null - >/dev/null 2>&1";
  const auto start = Stopwatch::now();
  const int status = std::system(command.c_str());
  return status == 0 ? secondsSince(start) : -1;
}

double medianOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// ffmpeg's own start-up is taken out by timing a short and a long run and using the
// difference; each is the median of three runs, since start-up time varies from run to run.
double ffmpegRate(const std::string& display) {
  constexpr int kShort = 30;
  std::vector<double> shortRuns, longRuns;
  for (int i = 0; i < 3; ++i) {
    shortRuns.push_back(ffmpegSeconds(display, kShort));
    longRuns.push_back(ffmpegSeconds(display, kShort + kRateFrames));
  }
  const double shortRun = medianOf(shortRuns);
  const double longRun = medianOf(longRuns);
  if (shortRun < 0 || longRun <= shortRun)
    return 0;
  return kRateFrames / (longRun - shortRun);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf(
        "{\"benchmark\":\"screen_capture\",\"skipped\":\"needs a display argument; "
        "scripts/run-benchmarks starts a private Xvfb\"}\n");
    return 0;
  }
  const std::string display = argv[1];
  auto connector = std::make_shared<X11DisplayConnector>(display);
  auto connection = connector->connection();
  if (!connection) {
    std::fprintf(stderr, "cannot open display %s\n", display.c_str());
    return 1;
  }
  const Rect bounds = x11MainDisplayRect(*connection);
  if (bounds.width != 1920 || bounds.height != 1080 ||
      !paintRoot(*connection, static_cast<int>(bounds.width), static_cast<int>(bounds.height))) {
    std::fprintf(stderr, "display %s is not a paintable 1920x1080 screen\n", display.c_str());
    return 1;
  }

  auto capture = std::make_shared<X11ScreenCapture>(connector);
  ScreenFrameProvider provider(capture, std::make_shared<X11DisplayGeometry>(connector));
  std::vector<double> milliseconds;
  StillFrame frame;
  for (int i = 0; i < kStillIterations + 5; ++i) {
    const auto start = Stopwatch::now();
    frame = provider.captureFrame();
    if (i >= 5)
      milliseconds.push_back(secondsSince(start) * 1000);
  }
  printStill(figuresOf(std::move(milliseconds)), static_cast<std::int64_t>(frame.jpeg.size()),
             {frame.width, frame.height});

  // The baseline grabs into shared memory and hands the segment on without a copy, so it
  // compares with the raw grab; the live rate adds our copy (or scale) into a queued frame
  // and the live source's 1000 fps ceiling.
  const double grabFps = grabRate(*capture->makeSource());
  const double ours = liveRate(capture);
  const double baseline = ffmpegRate(display);
  const auto ratio = [baseline](double fps) { return baseline > 0 ? fps / baseline : 0.0; };
  std::printf(
      "{\"benchmark\":\"x11_shm_grab\",\"display\":\"1920x1080\",\"frames\":%d,\"fps\":%.1f,"
      "\"baseline\":\"ffmpeg x11grab\",\"baseline_fps\":%.1f,\"ratio\":%.2f}\n",
      kRateFrames, grabFps, baseline, ratio(grabFps));
  std::printf(
      "{\"benchmark\":\"live_capture_rate\",\"display\":\"1920x1080\",\"format\":\"bgra\","
      "\"frames\":%d,\"fps\":%.1f,\"goal_fps\":60,\"baseline\":\"ffmpeg x11grab\","
      "\"baseline_fps\":%.1f,\"ratio\":%.2f}\n",
      kRateFrames, ours, baseline, ratio(ours));
  std::fflush(stdout);
  return ours > 0 && grabFps > 0 ? 0 : 1;
}
