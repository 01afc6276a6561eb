#pragma once

// The trainer's own texts, in one place: captions, messages, the window face and the
// names of the files beside the program. Every text the user sees comes from here, byte
// for byte (UTF-8; the Qt code reads them with QString::fromUtf8). Nothing here depends
// on Qt, so the controllers use the same table as the window and the shell.
//
// A "%1" in a text is filled with a file path by the code that shows it.

namespace korvane::texts {

// --- Names ---------------------------------------------------------------------------
inline constexpr char kTitle[] = "Korvane";            // application, window and box titles
inline constexpr char kWindowFace[] = "ＭＳ Ｐゴシック";  // the face of every control

// --- Files beside the program --------------------------------------------------------
inline constexpr char kBlackStoneFile[] = "stB.bmp";
inline constexpr char kWhiteStoneFile[] = "stW.bmp";
inline constexpr char kClickSoundFile[] = "Oto1.wav";
inline constexpr char kLineEndSoundFile[] = "Oto2.wav";
inline constexpr char kHelpFile[] = "Korvane.hlp";

// --- Captions of the main window -----------------------------------------------------
inline constexpr char kTrainingScreen[] = "道場画面";  // the title label and its menu item
inline constexpr char kEditingScreen[] = "編集画面";
inline constexpr char kCommentCaption[] = "コメント";
inline constexpr char kMiddleHeadingCaption[] = "中項目";
inline constexpr char kThemeNumberColumn[] = "項番";
inline constexpr char kThemeTitleColumn[] = "テーマ図";

// Buttons.
inline constexpr char kShowContents[] = "目次表示";
inline constexpr char kShowCommentary[] = "解説表示";
inline constexpr char kRequestRegistration[] = "登録要求";
inline constexpr char kExecuteRegistration[] = "登録実行";
inline constexpr char kDeleteThemeDiagram[] = "削除";
inline constexpr char kRegisterCorrectSequence[] = "正手順登録";
inline constexpr char kRegisterWrongSequence[] = "悪手順登録";
inline constexpr char kCancel[] = "キャンセル";
inline constexpr char kWhiteToPlay[] = "白番";
inline constexpr char kBlackToPlay[] = "黒番";
inline constexpr char kDeleteSequence[] = "手順削除";
inline constexpr char kClear[] = "クリア";
inline constexpr char kOneMoveForward[] = "1手進む";    // an ASCII digit
inline constexpr char kOneMoveBack[] = "１手戻す";      // a full-width digit
inline constexpr char kOneSequenceBack[] = "１手順戻す";  // a full-width digit

// Menu.
inline constexpr char kSwitchScreenMenu[] = "画面切替";
inline constexpr char kHelpMenu[] = "ヘルプ";
inline constexpr char kOnlineHelp[] = "オンラインヘルプ";
inline constexpr char kVersionInformation[] = "バージョン情報";
inline constexpr char kExit[] = "終了";

// --- Board ---------------------------------------------------------------------------
// The text over a point that marks a continuation to choose.
inline constexpr char kCandidateMark[] = "●";

// --- Messages and boxes --------------------------------------------------------------
inline constexpr char kMovesFull[] = "これ以上は石を置けません（手で置けるのは50手までです）";
inline constexpr char kExitQuestion[] = "「Korvane」を終了していいですか？";
inline constexpr char kVersionText[] = "Korvane\r\nVersion 3.3\r\n詰碁の練習と問題作りのために";
inline constexpr char kHelpWindowTitle[] = "Korvane ヘルプ";

// Errors nobody handles; they reach the default error box.
inline constexpr char kPictureUnreadable[] = "画像ファイルを読み込めません: %1";
inline constexpr char kHelpUnreadable[] = "ヘルプファイルを開けません: %1";
inline constexpr char kSoundMissing[] = "サウンドファイルが見つかりません: %1";

}  // namespace korvane::texts
