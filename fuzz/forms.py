"""URL-encoded forms: any text decodes to names and values, and what the form writer encodes
decodes back to what it was given."""

from urllib.parse import parse_qs

from hypothesis import strategies as st

from fuzz import fuzzer
from quenmark.contents import FormContent, parse_www_form_urlencoded

PIECES = ["&", "=", "+", "%", "%2", "%26", "%3D", "%zz", "%C3%A9", "%ff", ";", " ", "\u00e9",
          "\ud800", "a", "b"]
form_text = st.lists(st.one_of(st.sampled_from(PIECES), st.text(max_size=3)), max_size=20)
form_text = form_text.map("".join)
field = st.text(st.characters(blacklist_categories=("Cs",)), max_size=6)


@fuzzer(text=form_text)
def any_text(text):
    form = parse_www_form_urlencoded(text)
    grouped = parse_qs(text, keep_blank_values=True)
    assert form == {name: v[0] if len(v) == 1 else v for name, v in grouped.items()}


@fuzzer(data=st.dictionaries(field.filter(bool),
                             st.one_of(field, st.lists(field, min_size=2, max_size=3)), max_size=5))
def round_trip(data):
    assert parse_www_form_urlencoded(FormContent(data).body.decode("ascii")) == data
