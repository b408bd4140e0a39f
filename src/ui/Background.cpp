#include "ui/Background.h"

#include <exception>

#include "engine/SetupState.h"

namespace stw {

forms::Font FontOfRecord(const TFontRecord& record) {
  forms::Font f;
  f.name = record.Name.empty() ? f.name : record.Name;
  f.colour = static_cast<forms::Colour>(record.Color) & 0xFFFFFFu;
  // A size of 0 points would leave the choice to the font mapper: the
  // model's default stands in for it.
  if (record.Size > 0) f.height = record.Size;
  f.bold = (record.Style & 1) != 0;
  f.italic = (record.Style & 2) != 0;
  f.underline = (record.Style & 4) != 0;
  f.strikeout = (record.Style & 8) != 0;
  f.charset = record.Charset;
  return f;
}

TFormBackground::TFormBackground(forms::IBackend& backend, forms::Form& mainForm)
    : form(backend, forms::BorderStyle::None),
      LabelBottomShadow(form.Add<forms::Label>("LabelBottomShadow")),
      LabelTopShadow(form.Add<forms::Label>("LabelTopShadow")),
      Image(form.Add<forms::Image>("Image")),
      LabelTop(form.Add<forms::Label>("LabelTop")),
      LabelBottom(form.Add<forms::Label>("LabelBottom")),
      main_(mainForm) {
  for (forms::Label* l : {&LabelBottomShadow, &LabelTopShadow, &LabelTop, &LabelBottom}) {
    l->SetTransparent(true);
    // The texts are the publisher's, shown as written: an "&" in them is
    // an ampersand, not the mark of a key.
    l->SetShowAccelChar(false);
  }
  LabelBottomShadow.SetAlign(forms::Align::Center);
  LabelBottom.SetAlign(forms::Align::Center);
  Image.SetAutoSize(true);
  Image.SetBounds({kMargin, kMargin, 0, 0});
  LabelTop.SetPosition(0, kMargin);
  form.OnActivate = [this] { FormActivate(); };
}

void TFormBackground::SetUp(const TBackgroundSettings& settings, IFileSystem& fs, const std::string& picturePath,
                            const std::string& topText, const std::string& bottomText) {
  // The high byte of a colour carries nothing here.
  TopColor = static_cast<forms::Colour>(settings.TopColor) & 0xFFFFFFu;
  BottomColor = static_cast<forms::Colour>(settings.BottomColor) & 0xFFFFFFu;
  form.SetBands(true, TopColor, BottomColor);

  // Each shadow takes its text's face, size and style, in its own colour.
  const auto shadowOf = [](forms::Label& text, forms::Label& shadow, bool shown, int32_t colour) {
    shadow.SetVisible(shown);
    forms::Font f = text.font();
    f.colour = static_cast<forms::Colour>(colour) & 0xFFFFFFu;
    shadow.SetFont(f);
  };
  LabelTop.SetFont(FontOfRecord(settings.TopFont));
  shadowOf(LabelTop, LabelTopShadow, settings.TopShadow != 0, settings.TopShadowColor);
  LabelBottom.SetFont(FontOfRecord(settings.BottomFont));
  shadowOf(LabelBottom, LabelBottomShadow, settings.BottomShadow != 0, settings.BottomShadowColor);

  Image.SetTransparent(settings.ImageTransparent != 0);
  if (!picturePath.empty()) LoadPicture(fs, picturePath);

  LabelTop.SetCaption(topText);
  LabelTopShadow.SetCaption(LabelTop.caption());
  LabelBottom.SetCaption(bottomText);
  LabelBottomShadow.SetCaption(LabelBottom.caption());

  Layout();
  form.Show();
}

void TFormBackground::LoadPicture(IFileSystem& fs, const std::string& path) {
  // Whatever goes wrong here costs the picture, never the setup.
  const std::unique_ptr<IReadFile> file = fs.OpenRead(path);
  if (!file || file->Size() == 0 || file->Size() > kMaxPictureFileBytes) return;
  std::string bytes(static_cast<size_t>(file->Size()), '\0');
  size_t got = 0;
  while (got < bytes.size()) {
    const size_t n = file->Read(bytes.data() + got, bytes.size() - got);
    if (n == 0) break;
    got += n;
  }
  if (got != bytes.size()) return;
  Image.SetPicture(std::move(bytes));
}

void TFormBackground::Layout() {
  const forms::Screen screen = form.backend().ScreenOf(form);
  const int width = screen.primaryWidth, height = screen.primaryHeight;
  form.SetBounds({0, 0, width, height});

  // The labels are as large as their texts in their fonts.
  for (forms::Label* l : {&LabelTop, &LabelTopShadow, &LabelBottom, &LabelBottomShadow}) l->AutoSize();

  const forms::Bounds& image = Image.bounds();
  // The gap between picture and text equals the picture's margin.
  LabelTop.SetPosition(2 * image.left + image.width, LabelTop.bounds().top);
  const forms::Bounds& top = LabelTop.bounds();
  LabelTopShadow.SetPosition(top.left + kShadowOffset, top.top + kShadowOffset);

  const forms::Bounds& bottom = LabelBottom.bounds();
  // As far from the bottom edge as the top text from the top edge, less
  // the shadow's offset; integer division truncates toward zero, also for
  // a text wider than the screen.
  LabelBottom.SetPosition((width - bottom.width) / 2, height - bottom.height - top.top - kShadowOffset);
  LabelBottomShadow.SetPosition(LabelBottom.bounds().left + kShadowOffset, LabelBottom.bounds().top + kShadowOffset);
}

void TFormBackground::FormActivate() {
  if (main_.shown()) main_.BringToFront();
}

std::unique_ptr<TFormBackground> CreateBackground(TSetupState& S, forms::IBackend& backend, forms::Form& mainForm) {
  const TSetupDefinition& d = S.Def;
  if (!d.BackgroundEnabled || S.Silent) return nullptr;
  std::string picture;
  const auto& paths = S.Package.TempFilePaths;
  // "*" stands for a file that was passed over rather than extracted.
  if (!d.BackgroundImage.empty() && d.BackgroundImageIndex >= 0 &&
      static_cast<size_t>(d.BackgroundImageIndex) < paths.size() && paths[d.BackgroundImageIndex] != "*")
    picture = paths[d.BackgroundImageIndex];
  try {
    auto background = std::make_unique<TFormBackground>(backend, mainForm);
    background->form.SetCaption(S.Package.WindowCaption);
    background->SetUp(d.BackgroundSettings, S.P.Fs, picture, d.BackgroundTopText, d.BackgroundBottomText);
    return background;
  } catch (const std::exception&) {
    // A backdrop is decoration: without a window for it the wizard runs on.
    return nullptr;
  }
}

}  // namespace stw
