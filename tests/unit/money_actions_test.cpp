// money!: exact decimal arithmetic against an independent decimal reference, currencies,
// conversions from and to the other number types with their errors, comparison (also against
// floats, exactly), rounding, path access, form/mold and random.
#include "datatypes/money.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "tests/support/kel_cases.h"

using kel_test::eval;
using kel_test::expect_cases;

namespace {

// Results computed with an independent decimal library (exact operations, then cut to five
// decimals toward zero; the remainder takes the dividend's sign).
TEST(MoneyActions, ArithmeticMatchesDecimalReference) {
    expect_cases({
        {"mold/all ($425550.4 + $654912103503446.379)", "\"$654912103928996.77900\""},
        {"mold/all ($3094546.3 - -$6)", "\"$3094552.30000\""},
        {"mold/all ($651675019.2045 + -$5.0335)", "\"$651675014.17100\""},
        {"mold/all (-$821440.7499 - $0.57)", "\"-$821441.31990\""},
        {"mold/all ($3279622490807516.61 + -$0.32)", "\"$3279622490807516.29000\""},
        {"mold/all ($9159564190697844.6 - $0)", "\"$9159564190697844.60000\""},
        {"mold/all (-$326653670.0 + -$595.38768)", "\"-$326654265.38768\""},
        {"mold/all ($98172900840643074.2 - $291052.18)", "\"$98172900840352022.02000\""},
        {"mold/all (-$55453269.29 + -$6136644427877955.9409)", "\"-$6136644483331225.23090\""},
        {"mold/all ($2 - -$4.928)", "\"$6.92800\""},
        {"mold/all ($0.0 + $1.23)", "\"$1.23000\""},
        {"mold/all (-$174.16788 - -$77.78)", "\"-$96.38788\""},
        {"mold/all (-$5.7 + -$885227.837)", "\"-$885233.53700\""},
        {"mold/all (-$0.7 - $0)", "\"-$0.70000\""},
        {"mold/all (-$0.0997 + $1.34306)", "\"$1.24336\""},
        {"mold/all ($58713231864598365.1285 - $542375180783752.4)", "\"$58170856683814612.72850\""},
        {"mold/all ($0.0 + $49651007.0688)", "\"$49651007.06880\""},
        {"mold/all ($506600.073 - $9025)", "\"$497575.07300\""},
        {"mold/all ($6 + $13.61086)", "\"$19.61086\""},
        {"mold/all ($461441.98012 - -$255156711.06)", "\"$255618153.04012\""},
        {"mold/all ($2088.67 + -$416.8053)", "\"$1671.86470\""},
        {"mold/all (-$3051788915947449.77 - $7780.52)", "\"-$3051788915955230.29000\""},
        {"mold/all (-$707635767554396.187 + -$2428.54)", "\"-$707635767556824.72700\""},
        {"mold/all (-$973619502.8 - $1118518576135824.2610)", "\"-$1118519549755327.06100\""},
        {"mold/all ($275.43 + $8079920150527475.2191)", "\"$8079920150527750.64910\""},
        {"mold/all (-$5.8181 - -$9.65217)", "\"$3.83407\""},
        {"mold/all ($95972 + -$2.7)", "\"$95969.30000\""},
        {"mold/all (-$2.5510 - $0.2209)", "\"-$2.77190\""},
        {"mold/all (-$46414.89984 * $892553885358791.179)", "!script/type-limit"},
        {"mold/all (-$25.43 * $804902727625149.4769)", "\"-$20468676363507551.19756\""},
        {"mold/all (-$29765568.52027 * -$0.8502)", "\"$25306686.35593\""},
        {"mold/all ($206855.2 * -$2140.1493)", "\"-$442701011.48136\""},
        {"mold/all ($8827391856785142.367 * $0.37)", "\"$3266134987010502.67579\""},
        {"mold/all ($130562.05 * $2785527.544)", "\"$363684186476.10520\""},
        {"mold/all (-$0.73878 * $7454623)", "\"-$5507326.37994\""},
        {"mold/all (-$146197819 * -$6800695.2577)", "\"$994246814359382.95630\""},
        {"mold/all ($7763493 * $0.37)", "\"$2872492.41000\""},
        {"mold/all (-$0.04 * -$2174340.45456)", "\"$86973.61818\""},
        {"mold/all ($0.9698 * $531696037.68082)", "\"$515638817.34285\""},
        {"mold/all (-$494.3 * -$0.9)", "\"$444.87000\""},
        {"mold/all (-$0.54908 * $520067863)", "\"-$285558862.21604\""},
        {"mold/all ($836322628460549.98050 * $0.37)", "\"$309439372530403.49278\""},
        {"mold/all ($0.37 * $12335953628270.60461)", "\"$4564302842460.12370\""},
        {"mold/all ($437233050829125.70590 * -$396.7)", "!script/type-limit"},
        {"mold/all (-$3 / -7)", "\"$0.42857\""},
        {"mold/all (-$3 % $7)", "\"-$3.00000\""},
        {"mold/all ($361790774 / 890828)", "\"$406.12865\""},
        {"mold/all ($361790774 % $890828.623)", "\"$114353.06200\""},
        {"mold/all ($79.40662 / -89506)", "\"-$0.00088\""},
        {"mold/all ($79.40662 % $89506.0748)", "\"$79.40662\""},
        {"mold/all ($964.581 / -76)", "\"-$12.69185\""},
        {"mold/all ($964.581 % $76.560)", "\"$45.86100\""},
        {"mold/all ($5541.162 / -1713843363)", "\"$0.00000\""},
        {"mold/all ($5541.162 % $236321713843363.864)", "\"$5541.16200\""},
        {"mold/all (-$749.0 / -1999435883)", "\"$0.00000\""},
        {"mold/all (-$749.0 % -$564117.8)", "\"-$749.00000\""},
        {"mold/all ($320447768.00203 / 1999994915)", "\"$0.16022\""},
        {"mold/all ($320447768.00203 % -$5085)", "\"$1238.00203\""},
        {"mold/all ($5908929.527 / -7)", "\"-$844132.78957\""},
        {"mold/all ($5908929.527 % $0.00926)", "\"$0.00786\""},
        {"mold/all ($9477038 / 109826068)", "\"$0.08629\""},
        {"mold/all ($9477038 % $887754109826068.9478)", "\"$9477038.00000\""},
        {"mold/all ($0.46 / -584537)", "\"$0.00000\""},
        {"mold/all ($0.46 % $584537.861)", "\"$0.46000\""},
        {"mold/all (-$0.71 / 1964122878)", "\"$0.00000\""},
        {"mold/all (-$0.71 % -$35877122.0446)", "\"-$0.71000\""},
        {"mold/all ($0 / -7)", "\"$0.00000\""},
        {"mold/all ($0 % $0.31132)", "\"$0.00000\""},
        {"mold/all ($7.90 / 1999900862)", "\"$0.00000\""},
        {"mold/all ($7.90 % -$99138.33710)", "\"$7.90000\""},
        {"mold/all (-$668545155.722 / 7)", "\"-$95506450.81742\""},
        {"mold/all (-$668545155.722 % $0.651)", "\"-$0.03800\""},
        {"mold/all (round/to $436.50000 3)", "\"$438.00000\""},
        {"mold/all (round/to/even -$45.6 0.5)", "\"-$45.50000\""},
        {"mold/all (round/to/down $579.94500 $0.03)", "\"$579.93000\""},
        {"mold/all (round/half-down $68391006)", "\"$68391006.00000\""},
        {"mold/all (round/to/floor $2270.694 0.5)", "\"$2270.50000\""},
        {"mold/all (round/ceiling $342286.50000)", "\"$342287.00000\""},
        {"mold/all (round/to/half-ceiling -$51.88500 $0.01)", "\"-$51.88000\""},
        {"mold/all (round/to $589797294862437.310 $0.03)", "\"$589797294862437.30000\""},
        {"mold/all (round/to/even $121.50000 3)", "\"$120.00000\""},
        {"mold/all (round/to/down $6894.9 $0.01)", "\"$6894.90000\""},
        {"mold/all (round/to/half-down $6981815.89500 $0.03)", "\"$6981815.88000\""},
        {"mold/all (round/to/floor -$343.548 3)", "\"-$345.00000\""},
        {"mold/all (round/to/ceiling -$83458212.3101 $0.03)", "\"-$83458212.30000\""},
        {"mold/all (round/to/half-ceiling -$669366.12500 $0.25)", "\"-$669366.00000\""},
        {"mold/all (round/to $931843.50000 3)", "\"$931845.00000\""},
        {"mold/all (round/to/even -$36.57293 $0.25)", "\"-$36.50000\""},
        {"mold/all (round/to/down $7.50000 3)", "\"$6.00000\""},
        {"mold/all (round/to/half-down -$0.12500 $0.25)", "\"$0.00000\""},
        {"mold/all (round/to/floor -$551.25000 0.5)", "\"-$551.50000\""},
        {"mold/all (round/to/ceiling $4129 0.5)", "\"$4129.00000\""},
        {"mold/all (round/to/half-ceiling $12345.675 $0.01)", "\"$12345.68000\""},
        {"mold/all (round/to $858876.64500 $0.03)", "\"$858876.66000\""},
        {"mold/all (round/to/even $0.70 3)", "\"$0.00000\""},
        {"mold/all (round/to/down $485184180 $0.03)", "\"$485184180.00000\""},
        {"mold/all (round/to/half-down -$0 3)", "\"$0.00000\""},
        {"mold/all (round/to/floor -$11134.50000 3)", "\"-$11136.00000\""},
        {"mold/all (round/to/ceiling $5778124.53500 $0.01)", "\"$5778124.54000\""},
        {"mold/all (round/to/half-ceiling $94.75000 0.5)", "\"$95.00000\""},
    });
}

TEST(MoneyActions, ArithmeticEdges) {
    expect_cases({
        // Digits below the fifth decimal are dropped, never rounded.
        {"mold/all $1.005 + $2", "\"$3.00500\""},
        {"mold/all $0.00001 * $0.1", "\"$0.00000\""},
        {"mold/all $1 / 3", "\"$0.33333\""},
        {"mold/all -$2 / 3", "\"-$0.66666\""},
        {"$10 / 4", "$2.50"},
        // money! by money! is a float!; by anything else a money!.
        {"$10 / $4", "2.5"},
        {"$1 / $3", "0.33333"},
        {"-$10 / $4", "-2.5"},
        {"10 / $4", "$2.50"},
        {"3 * $1", "$3.00"},
        {"1 - $0.5", "$0.50"},
        {"2.5 * $2", "$5.00"},
        {"$200 * 12.5%", "$25.00"},
        {"mold/all $1 + 1.123456", "\"$2.12345\""},  // extra float decimals dropped
        // The remainder takes the dividend's sign.
        {"-$7 % $2", "-$1.00"},
        {"$7 % -$2", "$1.00"},
        {"mold/all $0.00007 % $0.00002", "\"$0.00001\""},
        {"$6 % $2", "$0.00"},
        // Sums and differences by the signs; a zero result has no sign.
        {"-$5 - -$7", "$2.00"},
        {"$5 - $7", "-$2.00"},
        {"mold/all $1 - $1", "\"$0.00000\""},
        {"mold/all -$0.00001 * $0.1", "\"$0.00000\""},
        // The range: 17 integer digits and 5 decimals.
        {"mold/all $99999999999999999.99998 + $0.00001", "\"$99999999999999999.99999\""},
        {"$99999999999999999.99999 + $0.00001", "!script/type-limit"},
        {"-$99999999999999999.99999 - $0.00001", "!script/type-limit"},
        {"$99999999999999999 + 1", "!script/type-limit"},
        {"mold/all $9999999999.99999 * $10000000", "\"$99999999999999900.00000\""},
        {"$10000000000 * $10000000", "!script/type-limit"},
        {"$99999999999999999 * $10", "!script/type-limit"},
        {"$99999999999999999.99999 * $99999999999999999.99999", "!script/type-limit"},
        {"mold/all $99999999999999999 * 1", "\"$99999999999999999.00000\""},
        {"$99999999999999999 / $0.1", "!script/type-limit"},
        {"$1 / 0", "!math/zero-divide"},
        {"$1 % $0", "!math/zero-divide"},
        {"$1 / $0.00", "!math/zero-divide"},
        // Operands of other types.
        {"$1 + #\"a\"", "!script/invalid-type"},
        {"$1 + 1.0e17", "!script/bad-make-arg"},
        {"$1 + 0.000001", "!script/bad-make-arg"},
        {"$1 * 1:00", "!script/invalid-type"},
    });
}

TEST(MoneyActions, Currencies) {
    expect_cases({
        {"USD$1 + $1", "USD$2.00"},
        {"$1 + USD$1", "USD$2.00"},
        {"EUR$3 * 2", "EUR$6.00"},
        {"USD$1 + EUR$1", "!script/wrong-denom"},
        {"USD$1 % EUR$1", "!script/wrong-denom"},
        {"EUR$10 / EUR$4", "2.5"},
        {"usd$1", "USD$1.00"},
        {"make money! 'eur", "EUR$0.00"},
        {"make money! 'XYZ", "!script/bad-make-arg"},
        {"kel$5", "KEL$5.00"},
    });
    kel_test::Outcome o = kel_test::run("USD$1 - EUR$1");
    EXPECT_EQ(o.message.rfind("*** Script Error: USD$1.00 not same denomination as EUR$1.00\n", 0), 0u) << o.message;
}

TEST(MoneyActions, MakeAndTo) {
    expect_cases({
        {"mold/all make money! [USD 12 50]", "\"USD$12.00050\""},
        {"mold/all make money! [-12 50]", "\"-$12.00050\""},
        {"mold/all make money! [0 99999]", "\"$0.99999\""},
        {"make money! [EUR 1.25]", "EUR$1.25"},
        {"make money! [7]", "$7.00"},
        {"make money! [1.5 2]", "!script/bad-make-arg"},
        {"make money! [USD]", "!script/bad-make-arg"},
        {"make money! []", "!script/bad-make-arg"},
        {"make money! [USD 1 2 3]", "!script/bad-make-arg"},
        {"make money! [1 100000]", "!script/bad-make-arg"},
        {"make money! [1 -1]", "!script/bad-make-arg"},
        {"make money! [XYZ 1]", "!script/bad-make-arg"},
        {"make money! [1.123456]", "!script/bad-make-arg"},
        {"make money! 5", "$5.00"},
        {"make money! \"$5\"", "$5.00"},
        {"to money! $3", "$3.00"},
        {"to money! EUR$3", "EUR$3.00"},
        {"to money! -2147483648", "-$2147483648.00"},
        {"mold/all to money! 0.1", "\"$0.10000\""},
        {"mold/all to money! -1234.56789", "\"-$1234.56789\""},
        {"mold/all to money! 0.00001", "\"$0.00001\""},
        {"mold/all to money! 99999999999999984.0", "\"$99999999999999984.00000\""},
        {"to money! 1.123456", "!script/bad-make-arg"},
        {"to money! 1.0e17", "!script/bad-make-arg"},
        {"to money! -1.0e17", "!script/bad-make-arg"},
        {"to money! 0.000001", "!script/bad-make-arg"},
        {"to money! 1.0e300 * 1.0e300", "!script/bad-make-arg"},
        {"mold/all to money! \"USD$1'234.5\"", "\"USD$1234.50000\""},
        {"to money! \"-$1,5\"", "-$1.50"},
        {"to money! \"1.5\"", "!script/bad-to-arg"},
        {"to money! \"$1.123456\"", "!script/bad-to-arg"},
        {"to money! \"XYZ$1\"", "!script/bad-to-arg"},
        {"to money! 50%", "!script/bad-to-arg"},
        {"to money! #\"a\"", "!script/bad-to-arg"},
        {"to integer! -$12.99", "-12"},
        {"to integer! $2147483647.99", "2147483647"},
        {"to integer! -$2147483648.5", "-2147483648"},
        {"to integer! $2147483648", "!script/type-limit"},
        {"to float! $1.5", "1.5"},
        {"to float! -$0.00001", "-0.00001"},
        {"to float! $12345678901234567.89", "12345678901234568.0"},
        {"as-money 'usd 1.5", "USD$1.50"},
        {"as-money 'usd 1.123456", "!script/bad-make-arg"},
    });
}

TEST(MoneyActions, Comparison) {
    expect_cases({
        {"$1 = 1", "true"},
        {"$1 == 1", "false"},
        {"$1 =? $1", "true"},
        {"$1.5 > 1", "true"},
        {"1 < $1.5", "true"},
        {"-$0 = $0", "true"},
        {"-$2 < -$1", "true"},
        {"$1 < $1.00001", "true"},
        {"USD$1 = $1", "false"},
        {"USD$1 = EUR$1", "false"},
        {"USD$1 < EUR$2", "!script/wrong-denom"},
        {"USD$1 <= $2", "!script/wrong-denom"},
        {"USD$1 < USD$2", "true"},
        {"sort [USD$3 $5 EUR$1 -$2 EUR$0.5]", "[-$2.00 $5.00 EUR$0.50 EUR$1.00 USD$3.00]"},
        {"$1 = 1.2.3", "false"},
        // percent! is a float! by its fraction, so it meets money! the same from both sides.
        {"$1 = 100%", "true"},
        {"100% = $1", "true"},
        // Against a float: exactly, as the float's shortest decimal text reads.
        {"$0.1 = 0.1", "true"},
        {"$1 = 1.000001", "false"},
        {"$1 < 1.000001", "true"},
        {"1.000001 > $1", "true"},
        {"-$1 > -1.000001", "true"},
        {"$0 < 0.000001", "true"},
        {"$0 > -0.000001", "true"},
        {"$0 < 4.9e-324", "true"},
        {"-$0.00001 < -4.9e-324", "true"},
        {"$1 = (0.0 / 0.0)", "false"},
        {"$1 < (0.0 / 0.0)", "false"},
        {"$1 < -1.0e20", "false"},
        {"$1 > -1.0e20", "true"},
        {"$99999999999999999.99999 < 1.0e17", "true"},
        {"1.0e20 > $1", "true"},
        {"-1.0e20 < $1", "true"},
        {"1.5 = $1.5", "true"},
        {"$1 = 1.0", "true"},
    });
}

TEST(MoneyActions, Rounding) {
    expect_cases({
        {"round $2.5", "$3.00"},
        {"round -$2.5", "-$3.00"},
        {"round $2.49999", "$2.00"},
        {"round/even $2.5", "$2.00"},
        {"round/even $3.5", "$4.00"},
        {"round/half-down $2.5", "$2.00"},
        {"round/half-ceiling -$2.5", "-$2.00"},
        {"round/half-ceiling $2.5", "$3.00"},
        {"round/floor -$1.2", "-$2.00"},
        {"round/ceiling -$1.2", "-$1.00"},
        {"round/down -$1.9", "-$1.00"},
        {"round/to $1.234 $0.01", "$1.23"},
        {"round/to $1.235 $0.01", "$1.24"},
        {"round/to $7 -$5", "$5.00"},
        {"round/to EUR$12 5", "EUR$10.00"},
        {"round/to $1.26 0.25", "$1.25"},
        {"round $0", "$0.00"},
        {"round/to $1 $0", "!math/zero-divide"},
        {"round/to $1 50%", "!script/not-related"},
        {"round $99999999999999999.5", "!script/type-limit"},
        {"round/to $99999999999999999 $2", "!script/type-limit"},
    });
}

TEST(MoneyActions, UnaryActionsAndPaths) {
    expect_cases({
        {"negate $0", "$0.00"},
        {"negate $1", "-$1.00"},
        {"negate -USD$1", "USD$1.00"},
        {"absolute -EUR$1.5", "EUR$1.50"},
        {"even? $2.5", "true"},
        {"odd? $3", "true"},
        {"odd? -$0.99", "false"},
        {"m: USD$1.5 m/code", "USD"},
        {"m: USD$1.5 m/amount", "$1.50"},
        {"m: USD$1.5 reduce [m/1 m/2]", "[USD $1.50]"},
        {"m: $1 m/code", "none"},
        {"m: $1 m/cents", "!script/invalid-path"},
        {"m: $1 m/3", "!script/invalid-path"},
        {"m: $1 m/code: 'USD", "!script/bad-path-set"},
        {"pick USD$5 1", "USD"},
        {"pick USD$5 'amount", "$5.00"},
        {"pick USD$5 'code", "USD"},
        {"pick $1 3", "!script/out-of-range"},
        {"pick $1 0", "!script/out-of-range"},
        {"append $1 $1", "!script/expect-arg"},
        {"$1 ** 2", "!script/expect-arg"},
    });
}

TEST(MoneyActions, FormAndMold) {
    expect_cases({
        {"form $1234567.5", "\"$1'234'567.50\""},
        {"mold $1234567.5", "\"$1234567.50\""},
        {"form -EUR$12345678901234567", "\"-EUR$12'345'678'901'234'567.00\""},
        {"form $123", "\"$123.00\""},
        {"form $1234", "\"$1'234.00\""},
        {"form $0.129", "\"$0.12\""},
        {"mold/all -USD$0.12345", "\"-USD$0.12345\""},
        {"mold -$0", "\"$0.00\""},
        {"mold/part -USD$1234.5 6", "\"-USD$1\""},
        {"form/part $1234.5 4", "\"$1'2\""},
        {"mold/part [$1 $2] 7", "\"[$1.00 \""},
    });
}

// A draw never exceeds the value in magnitude and keeps its sign and currency.
TEST(MoneyActions, RandomStaysWithinTheValue) {
    expect_cases({
        {"random/seed 7 a: random -USD$123.45 random/seed 7 b: random -USD$123.45 a = b", "true"},
        {"random/seed $1", "unset"},
        {"ok: true loop 300 [r: random -USD$123.45 unless all [r <= USD$0 r >= -USD$123.45] [ok: false]] ok", "true"},
        {"ok: true loop 300 [r: random $0.00009 unless all [r >= $0 r <= $0.00009] [ok: false]] ok", "true"},
        {"random $0", "$0.00"},
    });
}

TEST(MoneyActions, CellHelpers) {
    Cell c;
    c.header = 0;
    money::from_integer(&c, INT32_MIN);
    EXPECT_EQ(money::to_integer(&c), INT32_MIN);
    EXPECT_EQ(money::sign(&c), -1);
    money::from_integer(&c, 0);
    EXPECT_EQ(money::sign(&c), 0);
    EXPECT_FALSE(money::negative_q(&c));
    EXPECT_FALSE(money::positive_q(&c));

    const uint8_t digits[11] = {0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0x50};
    money::make_from_bcd(&c, true, money::currency_index("EUR"), digits);
    EXPECT_EQ(money::form_amount(&c, true, true), "-EUR$1.23450");
    EXPECT_EQ(money::get_digit(&c, 18), 2);
    EXPECT_DOUBLE_EQ(money::to_float(&c), -1.2345);

    EXPECT_TRUE(money::float_too_big_q(1e17));
    EXPECT_TRUE(money::float_too_big_q(-1e17));
    EXPECT_FALSE(money::float_too_big_q(99999999999999984.0));
    EXPECT_TRUE(money::float_too_small_q(-1e-6));
    EXPECT_FALSE(money::float_too_small_q(0.0));
    EXPECT_FALSE(money::float_too_small_q(1e-5));

    // Integer digits past 17 and decimals past 5 are not stored.
    const char text[] = " 123456789012345678.1234567";
    money::make_from_text(&c, false, nullptr, 0, text, text + 19, text + sizeof text - 1);
    EXPECT_EQ(money::form_amount(&c, true, false), "$23456789012345678.12345");
}

}  // namespace
