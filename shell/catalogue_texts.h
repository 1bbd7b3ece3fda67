/* The message catalogue's texts, in UTF-8, and their English glosses. Shared
   by the resource script and the console front end, so that the texts exist
   once. */
#ifndef MORVANE_CATALOGUE_TEXTS_H
#define MORVANE_CATALOGUE_TEXTS_H

#define CATALOGUE_TEXT_1 "ウィンドウクラスを登録できませんでした"
#define CATALOGUE_TEXT_2 "メインウィンドウを生成できませんでした"
#define CATALOGUE_TEXT_3 "ネットワークのエラーが発生しました"
#define CATALOGUE_TEXT_6 "シリアルでエラーが発生しました"
#define CATALOGUE_TEXT_7 "morvane.ini ファイルに誤りがあります"
#define CATALOGUE_TEXT_8 "スレッド生成でエラーが発生しました"


#define CATALOGUE_GLOSS_1 "the window class could not be registered"
#define CATALOGUE_GLOSS_2 "the main window could not be created"
#define CATALOGUE_GLOSS_3 "a network error occurred"
#define CATALOGUE_GLOSS_6 "an error occurred on the serial side"
#define CATALOGUE_GLOSS_7 "the settings file morvane.ini contains an error"
#define CATALOGUE_GLOSS_8 "an error occurred while creating a thread"

#endif
