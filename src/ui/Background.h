// The backdrop: an optional window over the whole primary screen that the
// setup puts behind its wizard, painted as a vertical gradient from the
// top colour to the bottom colour, with a picture in the top-left corner,
// a title beside it and a second text centred near the bottom, each text
// with an optional drop shadow. It takes no input: when it is activated
// (a click on it), it hands the activation back to the wizard, so the
// wizard never disappears behind it.
#pragma once
#include <memory>
#include <string>

#include "forms/Forms.h"
#include "package/Definition.h"
#include "platform/Platform.h"

namespace stw {

struct TSetupState;

// A font record of the package as a font of the control model: name,
// colour, size, style (bold, italic, underline, strike-out) and
// character set, in that order. The colour's high byte is ignored.
forms::Font FontOfRecord(const TFontRecord& record);

class TFormBackground {
 public:
  // The picture's margin from the screen's top-left corner and the top
  // text's distance from the top edge, in pixels.
  static constexpr int kMargin = 16;
  // How far a shadow lies to the right of and below its text, in pixels.
  static constexpr int kShadowOffset = 3;
  // The largest picture file that is read; a larger one shows no picture.
  static constexpr uint64_t kMaxPictureFileBytes = 64u << 20;

  // `mainForm` is the wizard's form, which the backdrop hands the
  // activation to; it must outlive the backdrop. The backdrop's own form
  // lives on `backend`.
  TFormBackground(forms::IBackend& backend, forms::Form& mainForm);
  TFormBackground(const TFormBackground&) = delete;
  TFormBackground& operator=(const TFormBackground&) = delete;

  forms::Form form;
  // Made in this order, so that the shadows lie beneath the texts.
  forms::Label& LabelBottomShadow;
  forms::Label& LabelTopShadow;
  forms::Image& Image;
  forms::Label& LabelTop;
  forms::Label& LabelBottom;
  // The gradient's colours, 0x00BBGGRR (red in the low byte).
  forms::Colour TopColor = 0, BottomColor = 0;

  // Colours, fonts and shadows from the settings, the picture from the
  // file at `picturePath` ("" for none; a file that cannot be read or is
  // no picture of a known kind leaves the image empty), the two texts,
  // then the layout; the window is shown at the end.
  void SetUp(const TBackgroundSettings& settings, IFileSystem& fs, const std::string& picturePath,
             const std::string& topText, const std::string& bottomText);
  // Covers the primary screen and places the texts by the picture's size.
  void Layout();
  // The backdrop became active: the wizard comes to the front when shown.
  void FormActivate();

 private:
  void LoadPicture(IFileSystem& fs, const std::string& path);
  forms::Form& main_;
};

// The backdrop of a wizard run, set up from the definition (its settings,
// the picture extracted by the start-up sequence and the two texts);
// nullptr when the package asks for none, in a silent run, or when its
// window cannot be made (the setup goes on without it).
std::unique_ptr<TFormBackground> CreateBackground(TSetupState& S, forms::IBackend& backend, forms::Form& mainForm);

}  // namespace stw
