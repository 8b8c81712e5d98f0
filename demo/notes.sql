-- The demo's notes database, created beside the program at build time.
create table notes (
    id integer primary key autoincrement,
    text text not null,
    created text not null
);
insert into notes (text, created) values ('欢迎使用卡沃笔记：在下面写一条笔记，然后点“添加”。', datetime('now', 'localtime'));
