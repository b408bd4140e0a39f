// The backdrop: picture headers, the gradient's bands, the layout of the
// picture and the texts with their shadows, the activation handed to the
// wizard, and the start-up sequence that sets it up from a package.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "forms/Forms.h"
#include "ui/Background.h"
#ifndef _WIN32
#include "InstallFixture.h"
#include "app/SetupRun.h"
#endif

using namespace stw;
using namespace stw::test;
using forms::Bounds;
using forms::PictureFormat;

namespace {

std::string Bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}


std::string PlainBmp(int w, int h) {
  return Bmp24(w, h, [](int, int) { return 0x3366CCu; });
}

// ---------------------------------------------------------------- picture headers

// Hand-written headers of the five kinds, each as the format's
// documentation lays it out, so that the reader is checked against the
// formats and not against a writer of ours.
TEST(PictureInfo, HandWrittenHeadersGiveKindAndSize) {
  // BMP: file header (BM, size 78, offset 54), 40-byte info header with
  // width 2, height 3, 1 plane, 24 bits; then 3 rows of 8 bytes (6 bytes
  // of pixels padded to a multiple of 4).
  std::string bmp = Bytes({'B', 'M', 78, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  //
                           40, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0,
                           24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  bmp += std::string(24, '\x7F');
  auto i = forms::ReadPictureInfo(bmp);
  EXPECT_EQ(i.format, PictureFormat::Bmp);
  EXPECT_EQ(i.width, 2);
  EXPECT_EQ(i.height, 3);
  // The same with a negative height: rows stored from the top.
  std::string topDown = bmp;
  topDown[22] = static_cast<char>(0xFD);
  topDown[23] = topDown[24] = topDown[25] = static_cast<char>(0xFF);
  i = forms::ReadPictureInfo(topDown);
  EXPECT_EQ(i.format, PictureFormat::Bmp);
  EXPECT_EQ(i.height, 3);
  // Its last row cut off: refused, not shown half.
  EXPECT_FALSE(forms::ReadPictureInfo(bmp.substr(0, bmp.size() - 1)).valid());

  // PNG: signature, the IHDR chunk (length 13) with width 640, height 48.
  const std::string png = Bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                                 0, 0, 0x02, 0x80, 0, 0, 0, 0x30, 8, 6, 0, 0, 0, 0x11, 0x22, 0x33, 0x44});
  i = forms::ReadPictureInfo(png);
  EXPECT_EQ(i.format, PictureFormat::Png);
  EXPECT_EQ(i.width, 640);
  EXPECT_EQ(i.height, 48);

  // GIF: the logical screen of 300 x 2 (little-endian).
  i = forms::ReadPictureInfo(Bytes({'G', 'I', 'F', '8', '9', 'a', 0x2C, 0x01, 2, 0, 0, 0, 0}));
  EXPECT_EQ(i.format, PictureFormat::Gif);
  EXPECT_EQ(i.width, 300);
  EXPECT_EQ(i.height, 2);

  // JPEG: SOI, an APP0 segment of 16 bytes, then SOF0 with height 0x0102
  // and width 0x0304 (big-endian).
  const std::string jpeg = Bytes({0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0,
                                  0xFF, 0xC0, 0, 11, 8, 0x01, 0x02, 0x03, 0x04, 1, 1, 0x11, 0});
  i = forms::ReadPictureInfo(jpeg);
  EXPECT_EQ(i.format, PictureFormat::Jpeg);
  EXPECT_EQ(i.width, 0x0304);
  EXPECT_EQ(i.height, 0x0102);
  // Huffman tables (C4) are no frame header; the scan before any frame is
  // a damaged file.
  EXPECT_FALSE(forms::ReadPictureInfo(Bytes({0xFF, 0xD8, 0xFF, 0xC4, 0, 4, 0, 0, 0xFF, 0xDA, 0, 2})).valid());

  // ICO: reserved 0, type 1, one image; its entry says 0 x 32 (0 = 256),
  // 4 bytes of data at offset 22.
  const std::string ico = Bytes({0, 0, 1, 0, 1, 0, 0, 32, 0, 0, 1, 0, 32, 0, 4, 0, 0, 0, 22, 0, 0, 0, 1, 2, 3, 4});
  i = forms::ReadPictureInfo(ico);
  EXPECT_EQ(i.format, PictureFormat::Icon);
  EXPECT_EQ(i.width, 256);
  EXPECT_EQ(i.height, 32);
  // Its data said to lie beyond the file's end.
  EXPECT_FALSE(forms::ReadPictureInfo(ico.substr(0, 25)).valid());

  // Every shorter piece of each is refused or read, never read past.
  for (const std::string* s : std::initializer_list<const std::string*>{&bmp, &png, &jpeg, &ico})
    for (size_t n = 0; n < s->size(); ++n) forms::ReadPictureInfo(std::string_view(s->data(), n));
}

TEST(PictureInfo, NonsenseIsNoPicture) {
  EXPECT_FALSE(forms::ReadPictureInfo("").valid());
  EXPECT_FALSE(forms::ReadPictureInfo("This is a text file, not a picture.").valid());
  EXPECT_FALSE(forms::ReadPictureInfo("BM").valid());
  // A width of 0, and one of 100000 pixels (beyond the limit).
  std::string bmp = PlainBmp(4, 4);
  std::string zero = bmp;
  zero[18] = 0;
  EXPECT_FALSE(forms::ReadPictureInfo(zero).valid());
  std::string huge = bmp;
  huge[18] = static_cast<char>(0xA0);
  huge[19] = static_cast<char>(0x86);
  huge[20] = 1;
  EXPECT_FALSE(forms::ReadPictureInfo(huge).valid());
  // Each limit on its own: a side of 8192 is taken, 8193 not.
  EXPECT_TRUE(forms::ReadPictureInfo(Bytes({'G', 'I', 'F', '8', '7', 'a', 0x00, 0x20, 1, 0, 0, 0, 0})).valid());
  EXPECT_FALSE(forms::ReadPictureInfo(Bytes({'G', 'I', 'F', '8', '7', 'a', 0x01, 0x20, 1, 0, 0, 0, 0})).valid());
  // 5000 x 5000 is within each side but beyond the pixel count.
  EXPECT_FALSE(forms::ReadPictureInfo(Bytes({'G', 'I', 'F', '8', '7', 'a', 0x88, 0x13, 0x88, 0x13, 0, 0, 0})).valid());
  // A BMP of 8 bits per pixel in two planes, and one of 7 bits.
  std::string planes = bmp;
  planes[26] = 2;
  EXPECT_FALSE(forms::ReadPictureInfo(planes).valid());
  std::string bits = bmp;
  bits[28] = 7;
  EXPECT_FALSE(forms::ReadPictureInfo(bits).valid());
  // Random bytes behind each signature never crash the reader.
  for (const char* sig : {"BM", "\x89PNG\r\n\x1A\n", "GIF89a", "\xFF\xD8\xFF", "\0\0\1\0"}) {
    const std::string head = std::string(sig, std::string_view(sig).empty() ? 4 : std::string_view(sig).size());
    for (unsigned seed = 0; seed < 200; ++seed)
      forms::ReadPictureInfo(head + RandomBytes(seed % 70, seed + 1000));
  }
}

TEST(PictureInfo, TheTransparentColourIsTheBottomLeftPixels) {
  // 2 x 2, rows from the top: the bottom-left pixel is the third.
  std::vector<uint32_t> p = {0xFF00FF00, 0xFF123456, 0xFF00FF00, 0xFFABCDEF};
  forms::KeyOutTransparentColour(p, 2, 2);
  EXPECT_EQ(p, (std::vector<uint32_t>{0, 0xFF123456, 0, 0xFFABCDEF}));
  // A picture with transparency of its own keeps it.
  std::vector<uint32_t> alpha = {0x80404040, 0xFF123456, 0xFF00FF00, 0xFFABCDEF};
  const auto before = alpha;
  forms::KeyOutTransparentColour(alpha, 2, 2);
  EXPECT_EQ(alpha, before);
  // Sizes that do not match the pixels change nothing.
  std::vector<uint32_t> odd = {0xFF000000, 0xFF000000, 0xFF000000};
  forms::KeyOutTransparentColour(odd, 2, 2);
  EXPECT_EQ(odd[0], 0xFF000000u);
}

TEST(PictureInfo, AnImageTakesThePicturesSizeOrNone) {
  forms::HeadlessBackend backend;
  forms::Form form(backend);
  auto& image = form.Add<forms::Image>("Image");
  image.SetBounds({16, 16, 5, 5});
  image.SetAutoSize(true);  // no picture yet: nothing to show
  EXPECT_EQ(image.bounds(), (Bounds{16, 16, 0, 0}));
  EXPECT_TRUE(image.SetPicture(PlainBmp(40, 30)));
  EXPECT_EQ(image.bounds(), (Bounds{16, 16, 40, 30}));
  EXPECT_FALSE(image.SetPicture("not a picture"));
  EXPECT_FALSE(image.hasPicture());
  EXPECT_TRUE(image.pictureBytes().empty());
  EXPECT_EQ(image.bounds(), (Bounds{16, 16, 0, 0}));
}

// ---------------------------------------------------------------- bands

TEST(BackgroundBands, ASmallWindowsBandsWorkedOutByHand) {
  // Height 13: N = 3. Top R 0x30 G 0x20 B 0x10, bottom R 0xD0 G 0xE0 B 0xF0.
  // Band 1: R (2*0x30 + 0xD0)/3 = 304/3 = 101 = 0x65, G 288/3 = 96 = 0x60,
  //         B 272/3 = 90 = 0x5A.
  // Band 2: R (0x30 + 2*0xD0)/3 = 464/3 = 154 = 0x9A, G 480/3 = 160 = 0xA0,
  //         B 496/3 = 165 = 0xA5.
  // The high byte of a colour is ignored.
  const auto bands = forms::Bands(20, 13, 0xAA102030, 0x00F0E0D0);
  ASSERT_EQ(bands.size(), 3u);
  EXPECT_EQ(bands[0].colour, 0x00102030u);
  EXPECT_EQ(bands[1].colour, 0x005A6065u);
  EXPECT_EQ(bands[2].colour, 0x00A5A09Au);
  // Rows 4i to 4i + 5 (exclusive), columns 0 to width + 1: neighbours
  // overlap by a row; row 12 (below 4N) stays the window's.
  EXPECT_EQ(bands[0].top, 0);
  EXPECT_EQ(bands[0].bottom, 5);
  EXPECT_EQ(bands[1].top, 4);
  EXPECT_EQ(bands[2].top, 8);
  EXPECT_EQ(bands[2].bottom, 13);
  for (const auto& b : bands) EXPECT_EQ(b.right, 21);
  const auto tall = forms::Bands(20, 15, 0, 0);
  ASSERT_EQ(tall.size(), 3u);
  EXPECT_EQ(tall.back().bottom, 13);  // rows 13 and 14 keep the window's colour
}

TEST(BackgroundBands, EqualColoursAreUniformAndBelowFourRowsNothingIsPainted) {
  const auto bands = forms::Bands(1024, 768, 0x00336699, 0x00336699);
  ASSERT_EQ(bands.size(), 192u);
  for (const auto& b : bands) EXPECT_EQ(b.colour, 0x00336699u);
  EXPECT_TRUE(forms::Bands(1024, 3, 0x000000FF, 0x00FF0000).empty());
  EXPECT_TRUE(forms::Bands(1024, 0, 0x000000FF, 0x00FF0000).empty());
  EXPECT_TRUE(forms::Bands(1024, -8, 0x000000FF, 0x00FF0000).empty());
  // Four rows: one band, the top colour.
  const auto one = forms::Bands(10, 4, 0x000000FF, 0x00FF0000);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].colour, 0x000000FFu);
}

// ---------------------------------------------------------------- the window, headless

TBackgroundSettings Settings(bool topShadow = true, bool bottomShadow = true) {
  TBackgroundSettings s;
  s.TopColor = 0x00800000;
  s.BottomColor = 0x00000080;
  s.TopShadowColor = 0x00101010;
  s.BottomShadowColor = 0x00202020;
  s.ImageTransparent = 1;
  s.TopShadow = topShadow;
  s.BottomShadow = bottomShadow;
  s.TopFont = {"Arial", 0x00FFFFFF, 24, 1 | 2, 0};   // bold italic
  s.BottomFont = {"Verdana", 0x0000FFFF, 12, 4 | 8, 238};  // underlined, struck out, Central European
  return s;
}

struct BackgroundWindow : ::testing::Test {
  TestMachine machine;
  forms::HeadlessBackend backend, mainBackend;
  forms::Form mainForm{mainBackend};
  void SetUp() override {
    backend.screen.primaryWidth = 1280;
    backend.screen.primaryHeight = 1024;
    // The monitor that shows the form is another one: the primary counts.
    backend.screen.monitorWidth = 800;
    backend.screen.monitorHeight = 600;
  }
  std::string Picture(const std::string& bytes) {
    const std::string path = machine.Work() + "logo.bmp";
    machine.WriteFile(path, bytes);
    return path;
  }
};

TEST_F(BackgroundWindow, TheChildrenAreMadeInTheirOrderAndTheFormIsBorderless) {
  TFormBackground b(backend, mainForm);
  std::vector<std::string> names;
  for (const auto& c : b.form.controls()) names.push_back(c->name());
  EXPECT_EQ(names, (std::vector<std::string>{"LabelBottomShadow", "LabelTopShadow", "Image", "LabelTop", "LabelBottom"}));
  EXPECT_EQ(b.form.borderStyle(), forms::BorderStyle::None);
  for (forms::Label* l : {&b.LabelBottomShadow, &b.LabelTopShadow, &b.LabelTop, &b.LabelBottom}) {
    EXPECT_TRUE(l->transparent()) << l->name();
    EXPECT_FALSE(l->showAccelChar()) << l->name();
  }
  EXPECT_EQ(b.LabelBottom.align(), forms::Align::Center);
  EXPECT_EQ(b.LabelBottomShadow.align(), forms::Align::Center);
  EXPECT_EQ(b.LabelTop.align(), forms::Align::Left);
  EXPECT_TRUE(b.Image.autoSize());
}

TEST_F(BackgroundWindow, TheLayoutFollowsThePictureAndTheTexts) {
  TFormBackground b(backend, mainForm);
  b.SetUp(Settings(), machine.Fs(), Picture(PlainBmp(40, 30)), "Demo Setup", "Copyright ACME");
  // The whole primary screen, from the origin.
  EXPECT_EQ(b.form.bounds(), (Bounds{0, 0, 1280, 1024}));
  EXPECT_TRUE(b.form.shown());
  EXPECT_EQ(b.Image.bounds(), (Bounds{16, 16, 40, 30}));
  EXPECT_TRUE(b.Image.transparent());
  // The headless text is 6 pixels a character at 8 points, 13 high: at 24
  // points 18 x 39, at 12 points 9 x 19 (19.5 truncated).
  // LabelTop.Left = 2 x 16 + 40 = 72.
  EXPECT_EQ(b.LabelTop.bounds(), (Bounds{72, 16, 10 * 18, 39}));
  EXPECT_EQ(b.LabelTopShadow.bounds(), (Bounds{75, 19, 180, 39}));
  // Left (1280 - 14 x 9) / 2 = 1154 / 2 = 577; top 1024 - 19 - 16 - 3 = 986.
  EXPECT_EQ(b.LabelBottom.bounds(), (Bounds{577, 986, 126, 19}));
  EXPECT_EQ(b.LabelBottomShadow.bounds(), (Bounds{580, 989, 126, 19}));
  EXPECT_EQ(b.LabelTopShadow.caption(), "Demo Setup");
  EXPECT_EQ(b.LabelBottomShadow.caption(), "Copyright ACME");
  // The gradient is the form's bands.
  EXPECT_TRUE(b.form.bands());
  EXPECT_EQ(b.form.bandTop(), 0x00800000u);
  EXPECT_EQ(b.form.bandBottom(), 0x00000080u);
  EXPECT_EQ(b.TopColor, 0x00800000u);
  EXPECT_EQ(b.BottomColor, 0x00000080u);
}

TEST_F(BackgroundWindow, TheBottomTextIsCentredWithTruncation) {
  TFormBackground b(backend, mainForm);
  // 13 characters: 117 pixels; (1280 - 117) / 2 = 581.5, truncated 581.
  b.SetUp(Settings(), machine.Fs(), "", "T", std::string(13, 'x'));
  EXPECT_EQ(b.LabelBottom.bounds().left, 581);
  EXPECT_EQ(b.LabelBottomShadow.bounds().left, 584);
  // Wider than the screen: 301 characters, 2709 pixels; (1280 - 2709) / 2
  // = -714.5, truncated toward zero: -714 (not -715).
  b.LabelBottom.SetCaption(std::string(301, 'x'));
  b.LabelBottomShadow.SetCaption(b.LabelBottom.caption());
  b.Layout();
  EXPECT_EQ(b.LabelBottom.bounds().left, -714);
  EXPECT_EQ(b.LabelBottomShadow.bounds().left, -711);
}

TEST_F(BackgroundWindow, WithoutAPictureTheTopTextStandsAtTwiceTheMargin) {
  TFormBackground b(backend, mainForm);
  b.SetUp(Settings(), machine.Fs(), "", "Demo Setup", "");
  EXPECT_FALSE(b.Image.hasPicture());
  EXPECT_EQ(b.Image.bounds(), (Bounds{16, 16, 0, 0}));
  EXPECT_EQ(b.LabelTop.bounds().left, 2 * 16 + 0);
  // An empty bottom text keeps a line's height (19 at 12 points) and its
  // place as far from the bottom edge.
  EXPECT_EQ(b.LabelBottom.bounds(), (Bounds{640, 1024 - 19 - 16 - 3, 0, 19}));
}

TEST_F(BackgroundWindow, ADamagedOrMissingPictureShowsTheBackdropWithoutIt) {
  std::string cut = PlainBmp(40, 30);
  cut.resize(cut.size() - 10);
  for (const std::string& bytes : {cut, std::string("GIF89a"), std::string("plain text"), RandomBytes(3000, 7)}) {
    TFormBackground b(backend, mainForm);
    b.SetUp(Settings(), machine.Fs(), Picture(bytes), "Demo Setup", "Bottom");
    EXPECT_FALSE(b.Image.hasPicture());
    EXPECT_EQ(b.LabelTop.bounds().left, 32);
    EXPECT_TRUE(b.form.shown());
  }
  TFormBackground missing(backend, mainForm);
  missing.SetUp(Settings(), machine.Fs(), machine.Work() + "nowhere.bmp", "Demo Setup", "Bottom");
  EXPECT_FALSE(missing.Image.hasPicture());
  EXPECT_EQ(missing.LabelTop.bounds().left, 32);
}

TEST_F(BackgroundWindow, ShadowsTakeTheTextsFontInTheirOwnColour) {
  TFormBackground b(backend, mainForm);
  b.SetUp(Settings(), machine.Fs(), "", "Top", "Bottom");
  const forms::Font& top = b.LabelTop.font();
  EXPECT_EQ(top.name, "Arial");
  EXPECT_EQ(top.height, 24);
  EXPECT_TRUE(top.bold);
  EXPECT_TRUE(top.italic);
  EXPECT_FALSE(top.underline);
  EXPECT_FALSE(top.strikeout);
  EXPECT_EQ(top.colour, 0x00FFFFFFu);  // the text keeps its record's colour
  EXPECT_EQ(top.charset, 0);
  forms::Font expected = top;
  expected.colour = 0x00101010;
  EXPECT_EQ(b.LabelTopShadow.font(), expected);

  const forms::Font& bottom = b.LabelBottom.font();
  EXPECT_EQ(bottom.name, "Verdana");
  EXPECT_EQ(bottom.height, 12);
  EXPECT_FALSE(bottom.bold);
  EXPECT_FALSE(bottom.italic);
  EXPECT_TRUE(bottom.underline);
  EXPECT_TRUE(bottom.strikeout);
  EXPECT_EQ(bottom.colour, 0x0000FFFFu);
  EXPECT_EQ(bottom.charset, 238);
  expected = bottom;
  expected.colour = 0x00202020;
  EXPECT_EQ(b.LabelBottomShadow.font(), expected);
  EXPECT_TRUE(b.LabelTopShadow.visible());
  EXPECT_TRUE(b.LabelBottomShadow.visible());
}

TEST_F(BackgroundWindow, TheShadowFlagsShowOrHideTheShadows) {
  for (int flags = 0; flags < 4; ++flags) {
    TFormBackground b(backend, mainForm);
    b.SetUp(Settings(flags & 1, flags & 2), machine.Fs(), "", "Top", "Bottom");
    EXPECT_EQ(b.LabelTopShadow.visible(), (flags & 1) != 0) << flags;
    EXPECT_EQ(b.LabelBottomShadow.visible(), (flags & 2) != 0) << flags;
    EXPECT_TRUE(b.LabelTop.visible());
    EXPECT_TRUE(b.LabelBottom.visible());
  }
}

TEST_F(BackgroundWindow, ActivationBringsTheShownWizardToTheFront) {
  TFormBackground b(backend, mainForm);
  b.SetUp(Settings(), machine.Fs(), "", "Top", "Bottom");
  const auto fronts = [&] { return std::count(mainBackend.events.begin(), mainBackend.events.end(), "form.Front"); };
  b.form.Activate();  // the wizard is not shown yet: nothing to bring
  EXPECT_EQ(fronts(), 0);
  mainForm.Show();
  b.form.Activate();
  EXPECT_EQ(fronts(), 1);
  mainForm.Close();
  b.form.Activate();
  EXPECT_EQ(fronts(), 1);
}

TEST(BackgroundFont, TheRecordsStyleBitsAndColour) {
  const forms::Font f = FontOfRecord({"Courier New", static_cast<int32_t>(0xFF112233), 0, 0x0F, 2});
  EXPECT_EQ(f.name, "Courier New");
  EXPECT_EQ(f.colour, 0x00112233u);  // the high byte ignored
  EXPECT_EQ(f.height, forms::Font().height);  // no size given
  EXPECT_TRUE(f.bold && f.italic && f.underline && f.strikeout);
  EXPECT_EQ(f.charset, 2);
  const forms::Font none = FontOfRecord({"", 0, 9, 0, 1});
  EXPECT_EQ(none.name, forms::Font().name);
  EXPECT_FALSE(none.bold || none.italic || none.underline || none.strikeout);
  EXPECT_EQ(none.height, 9);
}

// ---------------------------------------------------------------- from a package

#ifndef _WIN32

// Moves the data indices of a folder's file entries when support files are
// added in front of the installable files.
void ShiftIndices(BuildFolder& f, int delta) {
  for (auto& it : f.items)
    if (it.kind == BuildItem::File) it.file.DataIndex = static_cast<uint16_t>(it.file.DataIndex + delta);
  for (auto& c : f.folders) ShiftIndices(c, delta);
}

class BackgroundPackage : public InstallTest {
 protected:
  forms::HeadlessBackend backend, mainBackend;
  forms::Form mainForm{mainBackend};
  std::unique_ptr<TRunDialogs> runDialogs;
  std::unique_ptr<TSetupRun> run;

  // A product with the backdrop; `supportFiles` more support files in
  // front of its installable files.
  PackageManifest WithBackground(std::optional<BuildSource> image, int supportFiles) {
    PackageManifest m = Product();
    for (auto& c : m.components) ShiftIndices(c.root, supportFiles);
    m.backgroundEnabled = true;
    m.backgroundImage = std::move(image);
    m.backgroundTopText = "Test Product Setup";
    m.backgroundBottomText = "Made by testers";
    m.backgroundSettings = Settings();
    return m;
  }
  // The start-up sequence of a run, as the wizard's start runs it.
  TSetupState& Start(const PackageManifest& m, std::vector<std::string> switches = {}) {
    const std::string installer = Build(m);
    std::vector<std::string> args = {"C:\\Temp\\setup.exe", installer};
    args.insert(args.end(), switches.begin(), switches.end());
    runDialogs = std::make_unique<TRunDialogs>(dialogs, true, false);
    run = std::make_unique<TSetupRun>(TPlatform{fs, reg, sys, *runDialogs, shell}, args);
    run->S.SetupFile = installer;
    run->FormCreate();
    run->S.Silent = HasSwitch(args, "silent");
    run->StartupSequence();
    return run->S;
  }
  void TearDown() override {
    run.reset();
    InstallTest::TearDown();
  }
};

TEST_F(BackgroundPackage, ThePictureIsExtractedAndLaidOut) {
  backend.screen.primaryWidth = 1024;
  backend.screen.primaryHeight = 768;
  TSetupState& S = Start(WithBackground(BuildSource{"logo.bmp", "", PlainBmp(64, 48), true}, 1));
  ASSERT_GE(S.Def.BackgroundImageIndex, 0);
  const std::string path = S.Package.TempFilePaths[S.Def.BackgroundImageIndex];
  EXPECT_EQ(path, S.Package.TempFolder + "logo.bmp");
  EXPECT_EQ(Read(path), PlainBmp(64, 48));
  const auto b = CreateBackground(S, backend, mainForm);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->form.bounds(), (Bounds{0, 0, 1024, 768}));
  EXPECT_EQ(b->Image.bounds(), (Bounds{16, 16, 64, 48}));
  EXPECT_EQ(b->LabelTop.bounds().left, 2 * 16 + 64);
  EXPECT_EQ(b->LabelTop.caption(), "Test Product Setup");
  EXPECT_EQ(b->LabelBottom.caption(), "Made by testers");
  const Bounds& bottom = b->LabelBottom.bounds();
  EXPECT_EQ(bottom.top, 768 - bottom.height - 16 - 3);
  EXPECT_EQ(bottom.left, (1024 - 15 * 9) / 2);
  EXPECT_EQ(b->LabelTopShadow.bounds().top, 19);
  EXPECT_TRUE(b->form.shown());
  // The rest of the definition was read from the right place.
  ASSERT_EQ(S.Def.Components.size(), Product().components.size());
  EXPECT_EQ(S.Def.Components[0].Name, Product().components[0].name);
}

TEST_F(BackgroundPackage, AnEmptyPictureNameExtractsNothing) {
  TSetupState& S = Start(WithBackground(std::nullopt, 0));
  EXPECT_EQ(S.Def.BackgroundImageIndex, -1);
  EXPECT_TRUE(S.Package.TempFilePaths.empty());
  const auto b = CreateBackground(S, backend, mainForm);
  ASSERT_TRUE(b);
  EXPECT_FALSE(b->Image.hasPicture());
  EXPECT_EQ(b->Image.bounds().width, 0);
  EXPECT_EQ(b->LabelTop.bounds().left, 2 * b->Image.bounds().left + b->Image.bounds().width);
  EXPECT_EQ(b->LabelTop.bounds().left, 32);
}

TEST_F(BackgroundPackage, TwoFilesOfOneNameGetDistinctTemporaryFiles) {
  PackageManifest m = WithBackground(BuildSource{"logo.bmp", "", PlainBmp(8, 8), true}, 2);
  m.readme = BuildSource{"logo.bmp", "", std::string("a readme of an odd name"), true};
  TSetupState& S = Start(m);
  ASSERT_EQ(S.Package.TempFilePaths.size(), 2u);
  EXPECT_EQ(S.Package.TempFilePaths[0], S.Package.TempFolder + "logo.bmp");
  EXPECT_EQ(S.Package.TempFilePaths[1], S.Package.TempFolder + "logo2.bmp");
  EXPECT_EQ(S.Def.BackgroundImageIndex, 1);
  EXPECT_EQ(Read(S.Package.TempFilePaths[1]), PlainBmp(8, 8));
  const auto b = CreateBackground(S, backend, mainForm);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->Image.bounds(), (Bounds{16, 16, 8, 8}));
}

TEST_F(BackgroundPackage, ASilentRunMakesNoWindowAndReadsOnInStep) {
  TSetupState& S = Start(WithBackground(BuildSource{"logo.bmp", "", PlainBmp(8, 8), true}, 1), {"/silent"});
  EXPECT_TRUE(S.Silent);
  EXPECT_EQ(S.Def.BackgroundTopText, "Test Product Setup");
  EXPECT_EQ(S.Def.BackgroundBottomText, "Made by testers");
  // Passed over, not extracted.
  ASSERT_EQ(S.Package.TempFilePaths.size(), 1u);
  EXPECT_EQ(S.Package.TempFilePaths[0], "*");
  EXPECT_FALSE(fs.FileExists(S.Package.TempFolder + "logo.bmp"));
  EXPECT_FALSE(CreateBackground(S, backend, mainForm));
  EXPECT_TRUE(backend.events.empty());
  // What the later steps read came from the right place.
  ASSERT_EQ(S.Def.Components.size(), Product().components.size());
  EXPECT_EQ(S.Def.Components[0].Name, Product().components[0].name);
}

TEST_F(BackgroundPackage, ASilentInstallationWithABackdropInstallsAsWithout) {
  PackageManifest m = WithBackground(BuildSource{"logo.bmp", "", PlainBmp(8, 8), true}, 1);
  EXPECT_EQ(Run(Build(m), {"/silent"}), 0);
  EXPECT_EQ(Read(App("app.exe")), TextBytes(200000, 5));
}

TEST_F(BackgroundPackage, NoBackdropWhenThePackageAsksForNone) {
  TSetupState& S = Start(Product());
  EXPECT_FALSE(CreateBackground(S, backend, mainForm));
  EXPECT_TRUE(backend.events.empty());
}

#endif

}  // namespace
