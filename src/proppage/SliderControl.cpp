// Trackbar and value box of the property page.
#include "proppage/SliderControl.h"

#include <commctrl.h>

#include <cmath>
#include <cstdio>

namespace veltane {
namespace {

// The scale's mapping g; NaN for an unknown scale.
double Scaled(int32_t scale, double v) {
  switch (scale) {
    case SliderControl::Linear:
      return v;
    case SliderControl::Logarithmic:
      return std::log(v);
    case SliderControl::SquareRoot:
      return std::sqrt(v);
    default:
      return NAN;
  }
}

// Truncation toward zero, kept inside the trackbar's 32-bit positions.
int32_t Truncate(double x) {
  if (!(x > -2147483648.0)) return x != x ? 0 : INT32_MIN;
  if (x >= 2147483647.0) return INT32_MAX;
  return static_cast<int32_t>(x);
}

}  // namespace

void SliderControl::Attach(HWND dialogWindow, int32_t trackbarControlId, int32_t valueBoxControlId) {
  dialog = dialogWindow;
  trackbarId = trackbarControlId;
  valueBoxId = valueBoxControlId;
}

bool SliderControl::Resolve() {
  trackbar = dialog != nullptr ? GetDlgItem(dialog, trackbarId) : nullptr;
  valueBox = dialog != nullptr && valueBoxId != kNoValueBox ? GetDlgItem(dialog, valueBoxId) : nullptr;
  return trackbar != nullptr;
}

void SliderControl::ShowValue() {
  if (valueBox == nullptr) return;
  char text[128];
  std::snprintf(text, sizeof text, format != nullptr ? format : "%f", static_cast<double>(value));
  SetWindowTextA(valueBox, text);
}

void SliderControl::SetRange(float min, float max, int32_t scaleKind) {
  if (!Resolve()) return;
  minValue = min;
  maxValue = max;
  scale = scaleKind;
  const double low = Scaled(scale, min);
  const double high = Scaled(scale, max);
  const double largest = std::isnan(low) ? 0.0 : std::fmax(std::fabs(low), std::fabs(high));
  factor = static_cast<float>(32767.0 / largest);
  inverseFactor = 1.0f / factor;
  reversed = !(min < max);
  posMin = Truncate((reversed ? high : low) * factor);
  posMax = Truncate((reversed ? low : high) * factor);
  SendMessageA(trackbar, TBM_SETRANGEMIN, TRUE, posMin);
  SendMessageA(trackbar, TBM_SETRANGEMAX, TRUE, posMax);
}

void SliderControl::SetValue(float v) {
  if (!Resolve()) return;
  value = v;
  int32_t position = Truncate(Scaled(scale, v) * factor + 0.5);
  if (reversed) position = posMin + posMax - position;
  SendMessageA(trackbar, TBM_SETPOS, TRUE, position);
  ShowValue();
}

float SliderControl::GetValue() {
  if (!Resolve()) return 0.0f;
  auto position = static_cast<int32_t>(SendMessageA(trackbar, TBM_GETPOS, 0, 0));
  if (reversed) position = posMin + posMax - position;
  const float x = static_cast<float>(position) * inverseFactor;
  switch (scale) {
    case Linear:
      value = x;
      break;
    case Logarithmic:
      value = std::exp(x);
      break;
    case SquareRoot:
      value = x * x;
      break;
    default:
      break;
  }
  ShowValue();
  return value;
}

void SliderControl::Enable(bool on) {
  if (!Resolve()) return;
  EnableWindow(trackbar, on);
  if (valueBox != nullptr) EnableWindow(valueBox, on);
}

}  // namespace veltane
