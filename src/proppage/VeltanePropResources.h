// Resource and control ids of the property page's dialog and strings;
// shared by the resource script and the code.
#pragma once

#define IDS_VELTANE_NAME 100
#define IDS_VELTANE_DISPLAY_NAME 103
#define IDS_VELTANE_PAGE_NAME 105

#define IDD_VELTANEPROP 101

#define IDC_CLICK_THRESHOLD 1001
#define IDC_OUTPUT_HISS 1002
#define IDC_INPUT_HISS 1003
#define IDC_CLICK_THRESHOLD_VALUE 1004
#define IDC_OUTPUT_HISS_VALUE 1005
#define IDC_BYPASS_DECLICK 1006
#define IDC_BYPASS_DENOISE 1007
#define IDC_OUTPUT_CLICKS 1008
#define IDC_AUTO_INPUT_HISS 1009
#define IDC_INPUT_HISS_VALUE 1010
#define IDC_FULL_BYPASS 1011
