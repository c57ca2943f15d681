/* Resource and control identifiers of the progress dialog; included by the
   resource script and by the code that drives the dialog. */
#ifndef PATCH_DIALOG_IDS_H
#define PATCH_DIALOG_IDS_H

#define IDD_PROGRESS 102
#define IDC_CANCEL_BUTTON 1000
#define IDC_STATUS_TEXT 1001
#define IDC_FILE_BAR 1002
#define IDC_OVERALL_BAR 1003

#endif
