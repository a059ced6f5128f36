<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP" sourcelanguage="en">
<context>
    <name>TfrmBrel</name>
    <message>
        <source>Files to work on</source>
        <translation>File list for compression </translation>
    </message>
    <message>
        <source>UPX (.exe .com .dll .sys .src) / archive (other files)</source>
        <translation>UPX (.,exe, .com, .dll, .sys, .src) / Archive (etc ext)</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>中止</translation>
    </message>
    <message>
        <source>Execute</source>
        <translation>Execute</translation>
    </message>
    <message>
        <source>close</source>
        <translation>close</translation>
    </message>
    <message>
        <source>Add files…</source>
        <translation>ファイルを追加…</translation>
    </message>
    <message>
        <source>Add folder…</source>
        <translation>フォルダーを追加…</translation>
    </message>
    <message>
        <source>Add files</source>
        <translation>ファイルを追加</translation>
    </message>
    <message>
        <source>Add folder</source>
        <translation>フォルダーを追加</translation>
    </message>
    <message>
        <source>Remove from list</source>
        <translation>リストから削除</translation>
    </message>
    <message>
        <source>Clear list</source>
        <translation>リストの全削除</translation>
    </message>
    <message>
        <source>[ Description ]

UPX works on one executable file alone.

Other files go into or come out of archives (zip, lzh, cab, tar).</source>
        <translation>[ Description ]

UPX only of one the exe file operates. 

Other extensions operate with Archive(zip, 
lzh cab, tar).</translation>
    </message>
    <message>
        <source>automatic</source>
        <translation>自動</translation>
    </message>
    <message>
        <source>compress</source>
        <translation>圧縮</translation>
    </message>
    <message>
        <source>decompress</source>
        <translation>解凍</translation>
    </message>
    <message>
        <source>test</source>
        <translation>テスト</translation>
    </message>
    <message>
        <source>Use UPX</source>
        <translation>UPXを使う</translation>
    </message>
    <message>
        <source>backup</source>
        <translation>バックアップ</translation>
    </message>
    <message>
        <source>compress icons</source>
        <translation>アイコン圧縮</translation>
    </message>
    <message>
        <source>level : </source>
        <translation>圧縮率 : </translation>
    </message>
    <message>
        <source>Level %1</source>
        <translation>Level %1</translation>
    </message>
    <message>
        <source>Best !!</source>
        <translation>Best !!</translation>
    </message>
    <message>
        <source>UPX Output</source>
        <translation>UPX Output</translation>
    </message>
    <message>
        <source>UPX HomePage</source>
        <translation>UPX HomePage</translation>
    </message>
    <message>
        <source>UPX ver</source>
        <translation>UPX ver</translation>
    </message>
    <message>
        <source>Ready</source>
        <translation>Ready</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Erorr</translation>
    </message>
    <message>
        <source>Cancelled</source>
        <translation>中止しました</translation>
    </message>
    <message>
        <source>Cancelling…</source>
        <translation>中止しています…</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>パスワード</translation>
    </message>
    <message>
        <source>%1
in %2
is encrypted. Password:</source>
        <translation>%2 の
%1
は暗号化されています。パスワード:</translation>
    </message>
    <message>
        <source>Use for all entries of this archive</source>
        <translation>この書庫のすべての項目に使う</translation>
    </message>
    <message>
        <source>Skip encrypted entries</source>
        <translation>暗号化された項目を飛ばす</translation>
    </message>
</context>
</TS>
