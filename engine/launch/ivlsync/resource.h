// Resource and control ids of the sync program's windows (ivlsync.rc).
#pragma once

#define IDD_IVLSYNC 101
#define IDI_IVLSYNC 201
#define IDD_UPDATE 102
#define IDB_UPDATE_LOGO 103

#define IDC_LOG 1001
#define IDC_STATUS 1002
#define IDC_EXIT 1003
#define IDC_VERIFY 1004

#define ID_FILE_VERIFY 40001
#define ID_FILE_EDIT_LOCALSETTINGS 40002
#define ID_FILE_FIND_INSTALL_DIR 40003
#define ID_FILE_EXIT 40005

// Update-mode dialog; the details box is IDC_LOG. Once the job has ended the cancel button
// becomes Close and takes the detail line's id: lookups by id still find the line, which
// comes first, and the button's commands arrive with that id.
#define IDC_UPDATE_STATUS 1002
#define IDC_UPDATE_CLOSE 1003
#define IDC_UPDATE_PROGRESS 1004
#define IDC_UPDATE_DETAILS 1005
#define IDC_UPDATE_DETAIL 1003
#define IDC_UPDATE_STEP 1007
#define IDC_UPDATE_BANNER 1009
#define IDC_UPDATE_LOGO 1010
#define IDC_UPDATE_HEADER 1011
