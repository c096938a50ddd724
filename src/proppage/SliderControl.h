// One trackbar with its read-only value box on the property page: maps a
// value range (linear, logarithmic or square-root scaled) onto thumb
// positions and shows the value as formatted text.
//
// The trackbar and the value box are looked up in the dialog before every
// operation; without a trackbar (dialog not created) an operation does
// nothing and GetValue gives 0. Runs on the dialog's thread. Allocates
// nothing.
#pragma once

#include <windows.h>

#include <cstdint>

namespace veltane {

class SliderControl {
 public:
  enum Scale : int32_t { Linear = 0, Logarithmic = 1, SquareRoot = 2 };
  static constexpr int32_t kNoValueBox = -12345678;

  SliderControl() = default;
  virtual ~SliderControl() = default;

  void Attach(HWND dialogWindow, int32_t trackbarControlId, int32_t valueBoxControlId);
  // Positions per unit: 32767 over the larger magnitude of the scaled ends.
  // A range whose min is not below its max runs the other way.
  void SetRange(float min, float max, int32_t scaleKind);
  // Moves the thumb to `v` and shows it.
  void SetValue(float v);
  // The value at the thumb; stored and shown.
  float GetValue();
  // Enables or disables the trackbar and the value box together.
  void Enable(bool on);

  const char* format = nullptr;  // printf format of the value box; null: "%f"
  HWND trackbar = nullptr;
  HWND valueBox = nullptr;
  HWND dialog = nullptr;
  int32_t trackbarId = 0;
  int32_t valueBoxId = kNoValueBox;
  float value = 0.0f;
  float minValue = 0.0f;
  float maxValue = 0.0f;
  int32_t posMin = 0;
  int32_t posMax = 0;
  bool reversed = false;
  int32_t scale = Linear;
  float factor = 1000.0f;        // positions per unit of the scaled value
  float inverseFactor = 0.001f;  // 1 / factor

 private:
  // Looks the controls up again; false without a trackbar.
  bool Resolve();
  void ShowValue();
};

}  // namespace veltane
