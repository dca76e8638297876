"""The build step that turns a controller source into its C++ chunk table."""
import re
import shutil
import subprocess

import pytest

from module_support import ROOT, embed_controller as embed

PLACEHOLDER = "origin_slash_quoate"
TRICKY_TEXT = 'say("hi") \\"kept\\" \\n ??= ??/ é1 \x0e7 \r\n1 你好 "end"\n\tx = "\\\\"\n'


def decode(chunks):
    """What the loader does with the stored chunks: join, quote pass, placeholder pass."""
    return "".join(chunks).replace('\\"', '"').replace(PLACEHOLDER, '\\"')


def literal_chunks(table):
    """The chunks of a generated table, read back the way a C++ compiler reads the literals."""
    body = table[table.index("chunks[] = {"):table.index("};")]
    chunks = []
    for item in re.split(r"^// chunk \d+ of \d+\n", body, flags=re.M)[1:]:
        data = bytearray()
        for literal in re.findall(r'^"(.*)",?$', item, flags=re.M):
            for escape, plain in re.findall(r'\\([0-7]{1,3}|.)|([^\\])', literal):
                if plain:
                    data += plain.encode("ascii")
                elif escape[0] in "01234567":
                    data.append(int(escape, 8))
                else:
                    data += {"n": b"\n", "t": b"\t"}.get(escape, escape.encode("ascii"))
        chunks.append(data.decode("utf-8"))  # each chunk is valid UTF-8 by itself
    return chunks


@pytest.mark.parametrize("text", [TRICKY_TEXT, "x" * 2999, "x" * 3000, 'é"' * 4000, "a"],
                         ids=["tricky", "one-full-chunk", "two-chunks", "quotes-and-multibyte", "one-character"])
def test_chunks_decode_to_the_source_within_the_limit(text):
    chunks = literal_chunks(embed.render_table(embed.stored_chunks(text), "s", "t.py"))
    assert decode(chunks) == text
    sizes = [len(decode([chunk])) for chunk in chunks]
    assert all(size == embed.CHUNK_LIMIT for size in sizes[:-1])
    assert 0 < sizes[-1] <= embed.CHUNK_LIMIT


def test_multibyte_characters_at_cut_points():
    text = "ab你é𝄞" * 7
    chunks = literal_chunks(embed.render_table(embed.stored_chunks(text, limit=4), "s", "t.py"))
    assert chunks[:3] == ["ab你é", "𝄞ab你", "é𝄞ab"]
    assert decode(chunks) == text


def test_quotes_are_cut_with_their_backslash():
    chunks = embed.stored_chunks('a"b"', limit=1)
    assert chunks == ["a", '\\"', "b", '\\"']


def test_literals_are_plain_ascii_without_trigraphs_or_open_escapes():
    literal = embed.cpp_string_literal("??= ??/ é1 \x0e7")
    assert literal.isascii() and "??" not in literal
    # Octal escapes always take three digits, so a digit after one stays a character.
    assert "\\303\\2511" in literal and "\\0167" in literal


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_generated_table_compiles_to_the_stored_chunks(tmp_path):
    chunks = embed.stored_chunks(TRICKY_TEXT * 200)
    (tmp_path / "table.cpp").write_text(embed.render_table(chunks, "user_controller_source", "t.py"))
    (tmp_path / "main.cpp").write_text(
        '#include <cstdio>\n#include "controller_sources.hpp"\n'
        "int main() {\n"
        "    const auto &s = routeweave::user_controller_source;\n"
        '    for (std::size_t i = 0; i < s.count; ++i) std::printf("%s%c", s.chunks[i], 0);\n'
        "}\n")
    binary = tmp_path / "dump"
    # -trigraphs: the table must mean the same where a compiler still reads trigraphs.
    subprocess.run(["g++", "-std=c++17", "-trigraphs", "-Werror=trigraphs",
                    f"-I{ROOT / 'module'}", str(tmp_path / "table.cpp"),
                    str(tmp_path / "main.cpp"), "-o", str(binary)], check=True, timeout=120)
    output = subprocess.run([str(binary)], capture_output=True, check=True).stdout
    assert output.decode("utf-8").split("\0")[:-1] == chunks


def test_placeholder_word_is_refused():
    with pytest.raises(embed.EmbedError, match=rf"line 2: .*{PLACEHOLDER}"):
        embed.check_storable(f"class A:\n    x = '{PLACEHOLDER}'\n")


@pytest.mark.parametrize("text, reason", [("", "empty"), ("a\0b", "NUL")])
def test_unrunnable_sources_are_refused(text, reason):
    with pytest.raises(embed.EmbedError, match=reason):
        embed.check_storable(text)


def write_ini(tmp_path, body):
    path = tmp_path / "deployment.ini"
    path.write_text(body, encoding="utf-8")
    return path


def test_deployment_constants_are_substituted(tmp_path):
    constants = embed.load_deployment(write_ini(
        tmp_path, "[deployment]\nwechat_api_origin = https://wx.test\nother_key = 1%\n"))
    text = "get('@WECHAT_API_ORIGIN@/a') + '@WECHAT_API_ORIGIN@' # @not_a_constant@ @x"
    assert embed.substitute_deployment(text, constants) == (
        "get('https://wx.test/a') + 'https://wx.test' # @not_a_constant@ @x")


@pytest.mark.parametrize("body, placeholder_text, message", [
    ("[deployment]\n", "a\n'@MISSING_KEY@'", r"line 2: @MISSING_KEY@ has no value: 'missing_key' is missing"),
    ("[deployment]\nempty_key =\n", "'@EMPTY_KEY@'", r"'empty_key' is empty"),
])
def test_unknown_or_empty_constants_fail(tmp_path, body, placeholder_text, message):
    constants = embed.load_deployment(write_ini(tmp_path, body))
    with pytest.raises(embed.EmbedError, match=message):
        embed.substitute_deployment(placeholder_text, constants)


@pytest.mark.parametrize("body, message", [
    ("[other]\nkey = 1\n", r"no \[deployment\] section"),
    ("[deployment]\nkey = it's\n", "visible ASCII"),
    ("[deployment]\nkey = a b\n", "visible ASCII"),
    ("[deployment]\nkey = 1\nkey = 2\n", "cannot read"),
])
def test_malformed_configuration_fails(tmp_path, body, message):
    with pytest.raises(embed.EmbedError, match=message):
        embed.load_deployment(write_ini(tmp_path, body))


def test_environment_chooses_the_configuration(tmp_path, monkeypatch):
    monkeypatch.delenv(embed.DEPLOYMENT_ENV, raising=False)
    assert embed.deployment_path() == ROOT / "deployment.ini"
    monkeypatch.setenv(embed.DEPLOYMENT_ENV, str(tmp_path / "x.ini"))
    assert embed.deployment_path() == tmp_path / "x.ini"


def test_command_line_writes_the_table_or_explains_the_failure(tmp_path, capsys):
    ini = write_ini(tmp_path, "[deployment]\nhost = h.test\n")
    good, bad, out = tmp_path / "good.py", tmp_path / "bad.py", tmp_path / "out" / "t.cpp"
    good.write_text("class A(http.Controller):\n    url = '@HOST@'\n")
    bad.write_text(f"x = '{PLACEHOLDER}'\n")

    assert embed.main([str(good), "--deployment", str(ini), "--symbol", "a_source",
                       "--output", str(out)]) == 0
    table = out.read_text()
    assert "const StoredSource a_source = " in table
    assert decode(literal_chunks(table)) == "class A(http.Controller):\n    url = 'h.test'\n"

    assert embed.main([str(bad), "--deployment", str(ini), "--symbol", "b", "--output",
                       str(tmp_path / "b.cpp")]) == 1
    assert f"error: {bad}: line 1: the source holds the word" in capsys.readouterr().err
    assert not (tmp_path / "b.cpp").exists()
